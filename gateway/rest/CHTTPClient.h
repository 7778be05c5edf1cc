#ifndef ORQ_CHTTPCLIENT_H
#define ORQ_CHTTPCLIENT_H

#include <cstddef>
#include <string>
#include <vector>

#include "CDebug.h"

typedef void CURL;
typedef void CURLM;

// POSTs documents to many listener hosts at once, from one thread (its REST client queue's
// delivery thread): each transfer runs on a `Transfer` of its own, and every connection a
// transfer opens is kept for the next one to the same host. Only wakeup() may be called
// from another thread.
class HTTPClient {
  public:
    typedef size_t (*WriteCallback)(char* ptr, size_t size, size_t nmemb, void* userdata);

    // One libcurl easy handle, reused for POST after POST to one host.
    class Transfer {
      public:
        Transfer() = default;
        ~Transfer();
        Transfer(const Transfer&) = delete;
        Transfer& operator=(const Transfer&) = delete;

        // Whatever the owner keeps with the transfer.
        void* owner = nullptr;

      private:
        friend class HTTPClient;
        CURL* curl = nullptr;
        bool running = false;
        char errorBuffer[256] = {0};
        std::string URL;
    };

    struct Finished {
        Transfer* transfer;
        int result;  // the libcurl result code, 0 on success
    };

    // Keeps at most `maxConnections` idle connections open for reuse.
    explicit HTTPClient(long maxConnections = 64);
    ~HTTPClient();
    HTTPClient(const HTTPClient&) = delete;
    HTTPClient& operator=(const HTTPClient&) = delete;

    // Starts one POST of `text` to `URL` on `transfer`, which must not be running one. `text`
    // stays untouched until the transfer has finished. Only http and https URLs are
    // contacted; redirects are not followed. 0 when started, -1 when it could not be (then
    // nothing runs on `transfer`).
    int start(Transfer& transfer, const std::string& URL, const std::string& text,
              WriteCallback writeCallback);
    // Moves every running transfer on, waiting up to `waitMs` for the network or wakeup();
    // appends the transfers that finished to `finished`. Each finished one may be started
    // again at once.
    void run(int waitMs, std::vector<Finished>& finished);
    // Stops `transfer` if it runs (its result is never reported); it may then be destroyed.
    void cancel(Transfer& transfer);
    // Ends a run() that waits, now or at its next call. Any thread.
    void wakeup();

    void setOptTimeout(int seconds) { optTimeout = seconds; }
    int getOptTimeout() const { return optTimeout; }
    // Transfers running now.
    size_t running() const { return runningCount; }

    // Process-wide libcurl set-up; called once before any delivery thread starts.
    static void globalInit();

  private:
    void collect(std::vector<Finished>& finished);

    Debug pLogger{"HTTPClient"};
    CURLM* multi = nullptr;
    int optTimeout = 3;
    size_t runningCount = 0;
    struct curl_slist* headers = nullptr;
};

#endif
