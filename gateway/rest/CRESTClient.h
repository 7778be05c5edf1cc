#ifndef ORQ_CRESTCLIENT_H
#define ORQ_CRESTCLIENT_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "CDebug.h"
#include "CHTTPClient.h"

// Something a URI listener carries for whoever answers it (the REST server's
// RESTCallbackInfo, in practice).
class UriListenerHandback {
  public:
    virtual ~UriListenerHandback() = default;
    virtual UriListenerHandback* clone() const = 0;
};

// One registered URI listener. Copying clones the handback; the listener owns it.
struct uriListener_t {
    uriListener_t() = default;
    // A new listener: fresh `id`, `type` from the URL; takes `handback` (may be null).
    uriListener_t(const std::string& url, UriListenerHandback* handback);
    uriListener_t(const uriListener_t& other);
    uriListener_t& operator=(const uriListener_t& other);
    ~uriListener_t();

    std::string URL;
    UriListenerHandback* hback = nullptr;
    // 1: the URL names this host (a loopback address or "localhost"); 2: any other host.
    int type = 2;
    // 8 lower-case hexadecimal digits from `serial`.
    std::string id;

    // Starts at the start time in seconds; one more for every new listener.
    static unsigned serial;
    // The next listener made on the calling thread takes `id` (a stored registration made
    // again at start keeps its identifier); later ones are numbered above it. An empty `id`
    // takes back one not used.
    static void reuseId(const std::string& id);
};

// 1 when `url` is an http(s) URL whose host, as libcurl parses it, is a loopback literal
// (127.0.0.0/8, ::1) or "localhost"; 2 otherwise.
int listenerTypeOf(const std::string& url);
// True for http:// and https:// URLs (scheme compared without regard to case) that libcurl
// can parse.
bool isAllowedListenerURL(const std::string& url);

// Delivers documents to URI listeners as HTTP POSTs, without making senders wait. Two
// bounded queues (1: listeners on this host, 2: remote ones), each with its own delivery
// thread and HTTPClient, so a stalled remote listener never holds back a local one.
// sendPostData may be called from any thread; the queues are guarded by `mux`.
class RESTClient {
  public:
    static constexpr size_t kMaxQueued = 100;
    static constexpr int kDropped = -2;

    struct postMessage {
        std::string URL;
        std::string data;
    };
    struct threadContext_t {
        RESTClient* client;
        int queue;
    };

    RESTClient();
    // Virtual: tests put a client of their own, which records what it is given, in its place.
    virtual ~RESTClient();
    RESTClient(const RESTClient&) = delete;
    RESTClient& operator=(const RESTClient&) = delete;

    // The process-wide client, made on first use (main thread). Whoever owns it may delete
    // it; the next call then makes a new one.
    static RESTClient* getRESTClient();

    // Reads RESTClient:httpOptTimeout (values below 1 take the default, 3 seconds) and starts
    // both delivery threads. Main thread.
    void init();
    // Queues `text` for the listener's URL. 0 when queued; -1 when the URL is not an http(s)
    // URL; kDropped when the queue is full and the document is dropped (both logged).
    virtual int sendPostData(const uriListener_t* listener, const std::string& text);
    // Same, for a URL and a queue number.
    int sendPostData(const std::string& URL, int queue, const std::string& text);
    // Messages waiting in `queue`, the one being sent included.
    size_t queuedCount(int queue);

  private:
    void dispatchPostData(int queue);
    static size_t receivePostResponse_SW(char* ptr, size_t size, size_t nmemb, void* userdata);
    size_t receivePostResponse(char* ptr, size_t size, size_t nmemb);

    Debug pLogger{"RESTClient"};
    bool debugEnabled = false;
    int debugLevel = 0;
    std::map<int, threadContext_t> threadContextMap;
    std::map<int, std::unique_ptr<HTTPClient>> httpClientPool;
    bool running = false;
    // Set by the destructor: transfers in flight are given up at once.
    std::atomic<bool> stopping{false};
    std::mutex mux;
    std::condition_variable wake;
    std::map<int, std::thread> pthread_tMap;
    std::map<int, std::deque<postMessage>> postMessagesBuffers;
    static RESTClient* pInstance;
};

#endif
