#ifndef ORQ_CHTTPCLIENT_H
#define ORQ_CHTTPCLIENT_H

#include <atomic>
#include <cstddef>
#include <string>

#include "CDebug.h"

typedef void CURL;

// One libcurl easy handle that POSTs documents. Used by exactly one thread (its REST client
// queue's delivery thread); the handle is made on first use and remade after a failure.
class HTTPClient {
  public:
    typedef size_t (*WriteCallback)(char* ptr, size_t size, size_t nmemb, void* userdata);

    HTTPClient();
    ~HTTPClient();
    HTTPClient(const HTTPClient&) = delete;
    HTTPClient& operator=(const HTTPClient&) = delete;

    // One POST of `text` to `URL`; the libcurl result code (0 on success), -1 if no handle
    // could be made. Only http and https URLs are contacted; redirects are not followed.
    int postData(const std::string& URL, const std::string& text, WriteCallback writeCallback);
    void setOptTimeout(int seconds) { optTimeout = seconds; }
    int getOptTimeout() const { return optTimeout; }
    // A transfer in flight is given up as soon as `*flag` is set (the owner is stopping).
    void setAbortFlag(const std::atomic<bool>* flag) { abortFlag = flag; }

    // Process-wide libcurl set-up; called once before any delivery thread starts.
    static void globalInit();

  private:
    Debug pLogger{"HTTPClient"};
    CURL* curl = nullptr;
    int optTimeout = 3;
    const std::atomic<bool>* abortFlag = nullptr;
    struct curl_slist* headers = nullptr;
    char errorBuffer[256] = {0};
};

#endif
