#include "CRESTClient.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <strings.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "ConfigurationRepository.h"

unsigned uriListener_t::serial = static_cast<unsigned>(time(nullptr));

namespace {

std::mutex serialMux;
// The client whose delivery thread is running: libcurl's write callback gets no user data.
thread_local RESTClient* deliveringClient = nullptr;

// The scheme and host of `url` as libcurl reads them; false when it cannot parse it.
bool parseListenerURL(const std::string& url, std::string& scheme, std::string& host) {
    CURLU* u = curl_url();
    if (u == nullptr) {
        return false;
    }
    bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    char* part = nullptr;
    if (ok && curl_url_get(u, CURLUPART_SCHEME, &part, 0) == CURLUE_OK) {
        scheme = part;
        curl_free(part);
    } else {
        ok = false;
    }
    part = nullptr;
    if (ok && curl_url_get(u, CURLUPART_HOST, &part, 0) == CURLUE_OK) {
        host = part;
        curl_free(part);
    } else {
        ok = false;
    }
    curl_url_cleanup(u);
    return ok;
}

bool isLoopbackHost(const std::string& host) {
    if (strcasecmp(host.c_str(), "localhost") == 0) {
        return true;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    // libcurl gives an IPv6 literal in brackets.
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        in6_addr v6{};
        std::string literal = host.substr(1, host.size() - 2);
        return inet_pton(AF_INET6, literal.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
    }
    return false;
}

}  // namespace

namespace {
thread_local std::string reusedId;
}  // namespace

void uriListener_t::reuseId(const std::string& id) {
    if (id.empty()) {
        reusedId.clear();
        return;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(id.c_str(), &end, 16);
    if (id.size() != 8 || end == nullptr || *end != '\0') {
        return;  // not one of ours: a fresh one is given
    }
    reusedId = id;
    std::lock_guard<std::mutex> lock(serialMux);
    // Never given again to a new listener of this run.
    if (static_cast<unsigned>(value) >= serial) {
        serial = static_cast<unsigned>(value) + 1;
    }
}

uriListener_t::uriListener_t(const std::string& url, UriListenerHandback* handback)
    : URL(url), hback(handback), type(listenerTypeOf(url)) {
    if (!reusedId.empty()) {
        id.swap(reusedId);
        return;
    }
    unsigned value;
    {
        std::lock_guard<std::mutex> lock(serialMux);
        value = serial++;
    }
    char text[16];
    snprintf(text, sizeof(text), "%08x", value);
    id = text;
}

uriListener_t::uriListener_t(const uriListener_t& other)
    : URL(other.URL),
      hback(other.hback != nullptr ? other.hback->clone() : nullptr),
      type(other.type),
      id(other.id) {}

uriListener_t& uriListener_t::operator=(const uriListener_t& other) {
    if (this != &other) {
        UriListenerHandback* copy = other.hback != nullptr ? other.hback->clone() : nullptr;
        delete hback;
        hback = copy;
        URL = other.URL;
        type = other.type;
        id = other.id;
    }
    return *this;
}

uriListener_t::~uriListener_t() {
    delete hback;
}

bool isAllowedListenerURL(const std::string& url) {
    std::string scheme, host;
    return parseListenerURL(url, scheme, host) &&
           (strcasecmp(scheme.c_str(), "http") == 0 || strcasecmp(scheme.c_str(), "https") == 0);
}

int listenerTypeOf(const std::string& url) {
    std::string scheme, host;
    if (!isAllowedListenerURL(url) || !parseListenerURL(url, scheme, host)) {
        return 2;
    }
    return isLoopbackHost(host) ? 1 : 2;
}

RESTClient::RESTClient() {
    configureLogger(pLogger, "Debug:RESTClientDL");
    debugEnabled = pLogger.getDebugMode() != 0;
    debugLevel = pLogger.getDebugLevel();
    postMessagesBuffers[1];
    postMessagesBuffers[2];
}

RESTClient* RESTClient::pInstance = nullptr;

RESTClient* RESTClient::getRESTClient() {
    if (pInstance == nullptr) {
        pInstance = new RESTClient();
    }
    return pInstance;
}

RESTClient::~RESTClient() {
    printf("RESTClient - Destructor\n");
    stopping = true;
    {
        std::lock_guard<std::mutex> lock(mux);
        running = false;
    }
    wake.notify_all();
    for (auto& entry : pthread_tMap) {
        if (entry.second.joinable()) {
            entry.second.join();
        }
    }
    httpClientPool.clear();
    if (pInstance == this) {
        pInstance = nullptr;
    }
}

void RESTClient::init() {
    ORQ_LOG(pLogger, INFO, "init");
    int timeout = ConfigurationRepository::instance()->getint("RESTClient:httpOptTimeout", 3);
    ORQ_LOG(pLogger, INFO, "init - httpOptTimeout = %d", timeout);
    if (timeout < 1) {
        // libcurl takes 0 as "no limit": a listener that never answers would hold its queue,
        // and the stop, for ever.
        ORQ_LOG(pLogger, WARN, "init - httpOptTimeout %d is below 1 second: using 3", timeout);
        timeout = 3;
    }
    HTTPClient::globalInit();
    {
        std::lock_guard<std::mutex> lock(mux);
        if (running) {
            return;
        }
        running = true;
    }
    for (int queue = 1; queue <= 2; ++queue) {
        threadContextMap[queue] = threadContext_t{this, queue};
        auto client = std::make_unique<HTTPClient>();
        client->setOptTimeout(timeout);
        client->setAbortFlag(&stopping);
        // The client is in place before its thread can look for it.
        httpClientPool[queue] = std::move(client);
        try {
            pthread_tMap[queue] = std::thread(&RESTClient::dispatchPostData, this, queue);
        } catch (const std::system_error&) {
            ORQ_LOG(pLogger, ERROR, "init - Error in creating thread dispatchPostData");
            httpClientPool.erase(queue);
        }
    }
}

int RESTClient::sendPostData(const uriListener_t* listener, const std::string& text) {
    if (listener == nullptr) {
        return -1;
    }
    return sendPostData(listener->URL, listener->type, text);
}

int RESTClient::sendPostData(const std::string& URL, int queue, const std::string& text) {
    if (!isAllowedListenerURL(URL)) {
        ORQ_LOG(pLogger, ERROR, "sendPostData - refused listener URL %s: only http and https",
                URL.c_str());
        return -1;
    }
    if (queue != 1) {
        queue = 2;
    }
    size_t size;
    {
        std::unique_lock<std::mutex> lock(mux);
        std::deque<postMessage>& buffer = postMessagesBuffers[queue];
        size = buffer.size();
        if (size >= kMaxQueued) {
            lock.unlock();
            ORQ_LOG(pLogger, ERROR, "WARNING: sendPostData - Max size reached (%d) for bufferId %d",
                    static_cast<int>(size), queue);
            return kDropped;
        }
        buffer.push_back(postMessage{URL, text});
        size = buffer.size();
    }
    wake.notify_all();
    ORQ_LOG(pLogger, INFO, "sendPostData- stored postMsg to %s (bufferId %d, size %d)", URL.c_str(),
            queue, static_cast<int>(size));
    return 0;
}

size_t RESTClient::queuedCount(int queue) {
    std::lock_guard<std::mutex> lock(mux);
    return postMessagesBuffers[queue].size();
}

void RESTClient::dispatchPostData(int queue) {
    ORQ_LOG(pLogger, INFO, "dispatchPostData");
    deliveringClient = this;
    HTTPClient* client;
    {
        std::lock_guard<std::mutex> lock(mux);
        client = httpClientPool[queue].get();
    }
    std::unique_lock<std::mutex> lock(mux);
    while (running) {
        std::deque<postMessage>& buffer = postMessagesBuffers[queue];
        if (buffer.empty()) {
            wake.wait_for(lock, std::chrono::milliseconds(200));
            continue;
        }
        // The message stays queued while it is sent, so it counts against the bound.
        postMessage msg = buffer.front();
        lock.unlock();
        ORQ_LOG(pLogger, INFO, "dispatchPostData - postMsg to URL %s", msg.URL.c_str());
        printf("%s\r\n", msg.data.c_str());
        client->postData(msg.URL, msg.data, &RESTClient::receivePostResponse_SW);
        lock.lock();
        postMessagesBuffers[queue].pop_front();
    }
}

size_t RESTClient::receivePostResponse_SW(char* ptr, size_t size, size_t nmemb, void*) {
    if (deliveringClient == nullptr) {
        return size * nmemb;
    }
    return deliveringClient->receivePostResponse(ptr, size, nmemb);
}

size_t RESTClient::receivePostResponse(char* ptr, size_t size, size_t nmemb) {
    int length = static_cast<int>(size * nmemb);
    ORQ_LOG(pLogger, DEBUG,
            "receivePostResponse - POST Response received (size %d, length %d). Buffer %.*s)",
            static_cast<int>(size), length, length, ptr);
    return size * nmemb;
}
