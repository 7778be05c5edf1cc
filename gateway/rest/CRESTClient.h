#ifndef ORQ_CRESTCLIENT_H
#define ORQ_CRESTCLIENT_H

#include <chrono>
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

// Delivers documents to URI listeners as HTTP POSTs, without making senders wait. Two queues
// (1: listeners on this host, 2: remote ones), each with its own delivery thread and
// HTTPClient, so a stalled remote listener never holds back a local one. Within a queue each
// listener host (scheme, host and port) has a bounded list of its own: the documents for one
// host go one after the other, in the order they came, over a connection kept open for the
// next, and different hosts are served at the same time. sendPostData may be called from any
// thread; the lists are guarded by `mux`.
class RESTClient {
  public:
    // Documents waiting for one listener host, the one being sent included.
    static constexpr size_t kMaxQueued = 100;
    // Documents waiting in one queue, all its hosts together.
    static constexpr size_t kMaxQueuedPerQueue = 1000;
    // Listener hosts one queue serves at a time.
    static constexpr size_t kMaxHosts = 64;
    static constexpr int kDropped = -2;

    struct postMessage {
        std::string URL;
        std::string data;
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
    // URL; kDropped when a bound is reached and the document is dropped (both logged).
    virtual int sendPostData(const uriListener_t* listener, const std::string& text);
    // Same, for a URL and a queue number.
    int sendPostData(const std::string& URL, int queue, const std::string& text);
    // Messages waiting in `queue`, those being sent included.
    size_t queuedCount(int queue);

  private:
    // One listener host's documents, in arrival order; the front one is in flight while
    // `sending`.
    struct HostBuffer {
        std::deque<postMessage> waiting;
        HTTPClient::Transfer transfer;
        bool sending = false;
        std::chrono::steady_clock::time_point idleSince;
    };
    struct QueueBuffers {
        std::map<std::string, std::unique_ptr<HostBuffer>> hosts;  // by scheme://host:port
        size_t queued = 0;
        // The delivery thread waits for the network (or will at once), and was woken.
        bool polling = false;
        bool woken = false;
    };

    void dispatchPostData(int queue);
    // Starts the next document of every host that has one and none in flight (`lock` held on
    // entry and on return).
    void startTransfers(int queue, HTTPClient& client, std::unique_lock<std::mutex>& lock);
    // Forgets hosts with nothing to send for a while (`mux` held).
    void forgetIdleHosts(QueueBuffers& buffers);
    static size_t receivePostResponse_SW(char* ptr, size_t size, size_t nmemb, void* userdata);
    size_t receivePostResponse(char* ptr, size_t size, size_t nmemb);

    Debug pLogger{"RESTClient"};
    bool debugEnabled = false;
    int debugLevel = 0;
    std::map<int, std::unique_ptr<HTTPClient>> httpClientPool;
    bool running = false;
    std::mutex mux;
    std::map<int, std::thread> pthread_tMap;
    std::map<int, QueueBuffers> postMessagesBuffers;
    static RESTClient* pInstance;
};

#endif
