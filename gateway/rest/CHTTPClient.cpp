#include "CHTTPClient.h"

#include <curl/curl.h>

#include <cstdio>
#include <mutex>

void HTTPClient::globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

HTTPClient::Transfer::~Transfer() {
    // The owner cancels a running transfer first (HTTPClient::cancel).
    if (curl != nullptr) {
        curl_easy_cleanup(curl);
    }
}

HTTPClient::HTTPClient(long maxConnections) {
    configureLogger(pLogger, "Debug:HTTPClientDL");
    printf("HTTPClient Constructor\n");
    globalInit();
    multi = curl_multi_init();
    if (multi != nullptr) {
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, maxConnections);
    }
    // An empty Expect header keeps libcurl from waiting for "100 Continue".
    headers = curl_slist_append(nullptr, "Expect:");
}

HTTPClient::~HTTPClient() {
    // The owner cancels its running transfers before its client goes.
    if (multi != nullptr) {
        curl_multi_cleanup(multi);
    }
    if (headers != nullptr) {
        curl_slist_free_all(headers);
    }
    // libcurl's global state is shared by every client of the process and stays.
    printf("HTTPClient Destructor\n");
}

int HTTPClient::start(Transfer& t, const std::string& URL, const std::string& text,
                      WriteCallback writeCallback) {
    if (multi == nullptr || t.running) {
        return -1;
    }
    if (t.curl == nullptr) {
        t.curl = curl_easy_init();
        if (t.curl == nullptr) {
            printf("postData - ERROR: curl_easy_init didn't initialized the session!\n");
            return -1;
        }
        CURL* c = t.curl;
        curl_easy_setopt(c, CURLOPT_PRIVATE, &t);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(c, CURLOPT_VERBOSE, 0L);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        // Listener URLs come from clients: never reach anything but HTTP(S), never follow a
        // redirect elsewhere.
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, t.errorBuffer);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, nullptr);
    }
    CURL* c = t.curl;
    t.errorBuffer[0] = '\0';
    t.URL = URL;
    curl_easy_setopt(c, CURLOPT_URL, t.URL.c_str());
    curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(optTimeout));
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, text.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(text.size()));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, writeCallback);
    printf("postData - Sending POST to %s\n", URL.c_str());
    if (curl_multi_add_handle(multi, c) != CURLM_OK) {
        printf("WARNING: POST to %s could not be started\n", URL.c_str());
        return -1;
    }
    t.running = true;
    ++runningCount;
    return 0;
}

void HTTPClient::run(int waitMs, std::vector<Finished>& finished) {
    if (multi == nullptr) {
        return;
    }
    const size_t before = finished.size();
    int active = 0;
    curl_multi_perform(multi, &active);
    collect(finished);
    // Only when nothing is done yet: a finished transfer's host may have its next document.
    if (finished.size() == before) {
        curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
        curl_multi_perform(multi, &active);
        collect(finished);
    }
    fflush(stdout);
}

void HTTPClient::collect(std::vector<Finished>& finished) {
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
        if (m->msg != CURLMSG_DONE) {
            continue;
        }
        CURL* c = m->easy_handle;
        const CURLcode rc = m->data.result;
        Transfer* t = nullptr;
        curl_easy_getinfo(c, CURLINFO_PRIVATE, reinterpret_cast<char**>(&t));
        curl_multi_remove_handle(multi, c);
        if (t == nullptr) {
            continue;
        }
        if (rc != CURLE_OK) {
            printf("WARNING: POST to %s returned an error: %d --> %s\n", t->URL.c_str(),
                   static_cast<int>(rc), t->errorBuffer);
        }
        t->running = false;
        --runningCount;
        finished.push_back(Finished{t, static_cast<int>(rc)});
    }
}

void HTTPClient::cancel(Transfer& t) {
    if (t.running) {
        curl_multi_remove_handle(multi, t.curl);
        t.running = false;
        --runningCount;
    }
}

void HTTPClient::wakeup() {
    if (multi != nullptr) {
        curl_multi_wakeup(multi);
    }
}
