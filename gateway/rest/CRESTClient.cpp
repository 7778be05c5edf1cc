#include "CRESTClient.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <strings.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "ConfigurationRepository.h"

unsigned uriListener_t::serial = static_cast<unsigned>(time(nullptr));

namespace {

std::mutex serialMux;
// The client whose delivery thread is running: libcurl's write callback gets no user data.
thread_local RESTClient* deliveringClient = nullptr;

// The scheme, host and port (the scheme's default when the URL names none) of `url` as
// libcurl reads them; false when it cannot parse it.
bool parseListenerURL(const std::string& url, std::string& scheme, std::string& host,
                      std::string* port = nullptr) {
    CURLU* u = curl_url();
    if (u == nullptr) {
        return false;
    }
    bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    auto part = [&](CURLUPart which, std::string& into, unsigned flags) {
        char* text = nullptr;
        if (ok && curl_url_get(u, which, &text, flags) == CURLUE_OK) {
            into = text;
            curl_free(text);
        } else {
            ok = false;
        }
    };
    part(CURLUPART_SCHEME, scheme, 0);
    part(CURLUPART_HOST, host, 0);
    if (port != nullptr) {
        part(CURLUPART_PORT, *port, CURLU_DEFAULT_PORT);
    }
    curl_url_cleanup(u);
    return ok;
}

bool isHttpScheme(const std::string& scheme) {
    return strcasecmp(scheme.c_str(), "http") == 0 || strcasecmp(scheme.c_str(), "https") == 0;
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
    return parseListenerURL(url, scheme, host) && isHttpScheme(scheme);
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
    {
        std::lock_guard<std::mutex> lock(mux);
        running = false;
    }
    // Transfers in flight are given up at once: each thread wakes and cancels its own.
    for (auto& entry : httpClientPool) {
        entry.second->wakeup();
    }
    for (auto& entry : pthread_tMap) {
        if (entry.second.joinable()) {
            entry.second.join();
        }
    }
    postMessagesBuffers.clear();
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
        // libcurl takes 0 as "no limit": a listener that never answers would hold its host's
        // documents, and the stop, for ever.
        ORQ_LOG(pLogger, WARN, "init - httpOptTimeout %d is below 1 second: using 3", timeout);
        timeout = 3;
    }
    HTTPClient::globalInit();
    std::lock_guard<std::mutex> lock(mux);
    if (running) {
        return;
    }
    running = true;
    for (int queue = 1; queue <= 2; ++queue) {
        auto client = std::make_unique<HTTPClient>(static_cast<long>(kMaxHosts));
        client->setOptTimeout(timeout);
        // The client is in place before its thread can look for it (under `mux`).
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
    std::string scheme, host, port;
    if (!parseListenerURL(URL, scheme, host, &port) || !isHttpScheme(scheme)) {
        ORQ_LOG(pLogger, ERROR, "sendPostData - refused listener URL %s: only http and https",
                URL.c_str());
        return -1;
    }
    if (queue != 1) {
        queue = 2;
    }
    for (char& c : scheme) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    const std::string key = scheme + "://" + host + ":" + port;
    size_t size = 0;
    HTTPClient* client = nullptr;
    const char* full = nullptr;
    {
        std::lock_guard<std::mutex> lock(mux);
        QueueBuffers& buffers = postMessagesBuffers[queue];
        auto it = buffers.hosts.find(key);
        if (it == buffers.hosts.end() && buffers.hosts.size() >= kMaxHosts) {
            full = "listener hosts";
            size = buffers.hosts.size();
        } else if (buffers.queued >= kMaxQueuedPerQueue) {
            full = "documents";
            size = buffers.queued;
        } else {
            if (it == buffers.hosts.end()) {
                it = buffers.hosts.emplace(key, std::make_unique<HostBuffer>()).first;
                it->second->transfer.owner = it->second.get();
            }
            std::deque<postMessage>& waiting = it->second->waiting;
            size = waiting.size();
            if (size >= kMaxQueued) {
                full = "documents for the host";
            } else {
                waiting.push_back(postMessage{URL, text});
                ++buffers.queued;
                size = waiting.size();
                // A host that is sending starts its next document when that one is done;
                // the thread is woken once for all documents that come while it waits.
                if (!it->second->sending && buffers.polling && !buffers.woken) {
                    buffers.woken = true;
                    auto c = httpClientPool.find(queue);
                    client = c != httpClientPool.end() ? c->second.get() : nullptr;
                }
            }
        }
    }
    if (full != nullptr) {
        ORQ_LOG(pLogger, ERROR, "WARNING: sendPostData - Max size reached (%d) for bufferId %d",
                static_cast<int>(size), queue);
        ORQ_LOG(pLogger, ERROR, "sendPostData - the bound reached: %s, for %s", full, key.c_str());
        return kDropped;
    }
    if (client != nullptr) {
        client->wakeup();
    }
    ORQ_LOG(pLogger, INFO, "sendPostData- stored postMsg to %s (bufferId %d, size %d)", URL.c_str(),
            queue, static_cast<int>(size));
    return 0;
}

size_t RESTClient::queuedCount(int queue) {
    std::lock_guard<std::mutex> lock(mux);
    return postMessagesBuffers[queue].queued;
}

void RESTClient::startTransfers(int queue, HTTPClient& client, std::unique_lock<std::mutex>& lock) {
    // The hosts with a document to start. A host is erased, and its front document popped,
    // only by this thread, and producers only append: what is read below stays in place
    // without the lock.
    std::vector<HostBuffer*> ready;
    for (auto& entry : postMessagesBuffers[queue].hosts) {
        HostBuffer& h = *entry.second;
        if (!h.sending && !h.waiting.empty()) {
            h.sending = true;
            ready.push_back(&h);
        }
    }
    if (ready.empty()) {
        return;
    }
    std::vector<const postMessage*> fronts;
    fronts.reserve(ready.size());
    for (HostBuffer* h : ready) {
        fronts.push_back(&h->waiting.front());
    }
    lock.unlock();
    std::vector<HostBuffer*> failed;
    for (size_t i = 0; i < ready.size(); ++i) {
        const postMessage& msg = *fronts[i];
        ORQ_LOG(pLogger, INFO, "dispatchPostData - postMsg to URL %s", msg.URL.c_str());
        printf("%s\r\n", msg.data.c_str());
        if (client.start(ready[i]->transfer, msg.URL, msg.data,
                         &RESTClient::receivePostResponse_SW) != 0) {
            failed.push_back(ready[i]);
        }
    }
    lock.lock();
    // A document that could not even be started is dropped, as one that failed on the way.
    for (HostBuffer* h : failed) {
        h->waiting.pop_front();
        --postMessagesBuffers[queue].queued;
        h->sending = false;
        h->idleSince = std::chrono::steady_clock::now();
    }
}

void RESTClient::forgetIdleHosts(QueueBuffers& buffers) {
    // A host's connection outlives its entry: the client keeps it among its idle ones.
    const auto now = std::chrono::steady_clock::now();
    const auto keep =
        buffers.hosts.size() < kMaxHosts ? std::chrono::seconds(10) : std::chrono::seconds(0);
    for (auto it = buffers.hosts.begin(); it != buffers.hosts.end();) {
        const HostBuffer& h = *it->second;
        if (!h.sending && h.waiting.empty() && now - h.idleSince >= keep) {
            it = buffers.hosts.erase(it);
        } else {
            ++it;
        }
    }
}

void RESTClient::dispatchPostData(int queue) {
    ORQ_LOG(pLogger, INFO, "dispatchPostData");
    deliveringClient = this;
    std::unique_lock<std::mutex> lock(mux);
    HTTPClient& client = *httpClientPool[queue];
    std::vector<HTTPClient::Finished> finished;
    QueueBuffers& buffers = postMessagesBuffers[queue];
    while (running) {
        // From here until the lock is taken back after the wait, a document for an idle host
        // wakes the thread: startTransfers lets go of the lock too.
        buffers.polling = true;
        buffers.woken = false;
        startTransfers(queue, client, lock);
        forgetIdleHosts(buffers);
        if (!running) {
            break;
        }
        lock.unlock();
        finished.clear();
        // An idle thread looks again at least every 200 ms; a new document wakes it at once.
        client.run(200, finished);
        lock.lock();
        buffers.polling = false;
        // Delivered or not, a finished document leaves its host's list: one attempt each.
        for (const HTTPClient::Finished& f : finished) {
            auto* h = static_cast<HostBuffer*>(f.transfer->owner);
            h->waiting.pop_front();
            --buffers.queued;
            h->sending = false;
            h->idleSince = std::chrono::steady_clock::now();
        }
    }
    // Stopping: what is in flight is given up.
    for (auto& entry : postMessagesBuffers[queue].hosts) {
        client.cancel(entry.second->transfer);
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
