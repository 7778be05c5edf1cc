#include "CRESTClient.h"

#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "ConfigurationRepository.h"

unsigned uriListener_t::serial = static_cast<unsigned>(time(nullptr));

namespace {

std::mutex serialMux;
// The client whose delivery thread is running: libcurl's write callback gets no user data.
thread_local RESTClient* deliveringClient = nullptr;

std::string hostOf(const std::string& url) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        return std::string();
    }
    size_t start = scheme + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        authority = authority.substr(at + 1);
    }
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        return authority.substr(1, close == std::string::npos ? close : close - 1);
    }
    size_t colon = authority.find(':');
    return authority.substr(0, colon);
}

}  // namespace

uriListener_t::uriListener_t(const std::string& url, UriListenerHandback* handback)
    : URL(url), hback(handback), type(listenerTypeOf(url)) {
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
    return strncasecmp(url.c_str(), "http://", 7) == 0 ||
           strncasecmp(url.c_str(), "https://", 8) == 0;
}

int listenerTypeOf(const std::string& url) {
    if (!isAllowedListenerURL(url)) {
        return 2;
    }
    std::string host = hostOf(url);
    if (strcasecmp(host.c_str(), "localhost") == 0 || host.rfind("127.", 0) == 0 || host == "::1") {
        return 1;
    }
    char name[256] = {0};
    if (gethostname(name, sizeof(name) - 1) == 0 && name[0] != '\0' &&
        strcasecmp(host.c_str(), name) == 0) {
        return 1;
    }
    return 2;
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
            return -1;
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
