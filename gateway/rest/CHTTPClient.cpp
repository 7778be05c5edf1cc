#include "CHTTPClient.h"

#include <curl/curl.h>

#include <cstdio>
#include <mutex>

namespace {

int abortWhenFlagged(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* f = static_cast<const std::atomic<bool>*>(flag);
    return f != nullptr && f->load() ? 1 : 0;
}

}  // namespace

void HTTPClient::globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

HTTPClient::HTTPClient() {
    configureLogger(pLogger, "Debug:HTTPClientDL");
    printf("HTTPClient Constructor\n");
    globalInit();
}

HTTPClient::~HTTPClient() {
    if (curl != nullptr) {
        curl_easy_cleanup(curl);
    }
    if (headers != nullptr) {
        curl_slist_free_all(headers);
    }
    // libcurl's global state is shared by every client of the process and stays.
    printf("HTTPClient Destructor\n");
}

int HTTPClient::postData(const std::string& URL, const std::string& text,
                         WriteCallback writeCallback) {
    if (curl == nullptr) {
        curl = curl_easy_init();
        if (curl == nullptr) {
            printf("postData - ERROR: curl_easy_init didn't initialized the session!\n");
            return -1;
        }
        if (headers == nullptr) {
            // An empty Expect header keeps libcurl from waiting for "100 Continue".
            headers = curl_slist_append(nullptr, "Expect:");
        }
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        // Listener URLs come from clients: never reach anything but HTTP(S), never follow a
        // redirect elsewhere.
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    }
    errorBuffer[0] = '\0';
    curl_easy_setopt(curl, CURLOPT_URL, URL.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(optTimeout));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, text.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(text.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    // libcurl looks at the flag at least once a second, waiting or not.
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, abortFlag != nullptr ? 0L : 1L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &abortWhenFlagged);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(abortFlag));
    printf("postData - Sending POST to %s\n", URL.c_str());
    CURLcode rc = curl_easy_perform(curl);
    if (rc != CURLE_OK) {
        printf("WARNING: POST to %s returned an error: %d --> %s\n", URL.c_str(),
               static_cast<int>(rc), errorBuffer);
        curl_easy_cleanup(curl);
        curl = nullptr;
    }
    fflush(stdout);
    return static_cast<int>(rc);
}
