// Connection layer: device URL to parameters, the back-end operation table and the reader thread.
#include "zb_conn.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "zigbee_local.h"

namespace {

constexpr int kPacketBuffer = 300;

// Reader progress (zb_conn_reader_silence_ms): readers running, and the monotonic time of the
// last sign of life of the one that runs.
std::atomic<int> readersRunning{0};
std::atomic<long long> lastBeatMs{0};

long long monotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void addParam(char*** list, int* count, int* room, const char* prefix, const char* text,
              size_t len) {
    if (*count + 1 >= *room) {
        *room *= 2;
        *list = static_cast<char**>(realloc(*list, *room * sizeof(char*)));
    }
    size_t plen = strlen(prefix);
    char* entry = static_cast<char*>(malloc(plen + len + 1));
    memcpy(entry, prefix, plen);
    memcpy(entry + plen, text, len);
    entry[plen + len] = '\0';
    (*list)[(*count)++] = entry;
    (*list)[*count] = nullptr;
}

void reportLinkLost(zb_conn_status_t* h, int error, const char* reason) {
    fprintf(stderr, "ERROR: zb_conn reader - device lost (%s)\n", reason);
    h->linkError.store(error);
    if (h->linkLostCb != nullptr) {
        h->linkLostCb(h->hh, error);
    }
}

void* rcv_thread(void* arg) {
    zb_conn_status_t* h = static_cast<zb_conn_status_t*>(arg);
    unsigned char buf[kPacketBuffer];
    int fd = h->fd(h->handle);
    for (;;) {
        zb_conn_reader_beat();
        if (zb_conn_backend_pending(h) <= 0) {
            // A bounded wait: a quiet line is no sign of a stuck reader.
            struct pollfd pfd[2] = {{fd, POLLIN, 0}, {h->wakeFd[0], POLLIN, 0}};
            int r = poll(pfd, 2, ZB_CONN_READER_BEAT_MS);
            if (r < 0) {
                if (errno == EINTR) {
                    continue;
                }
                perror("zb_conn reader - poll");
                reportLinkLost(h, errno, strerror(errno));
                break;
            }
            if (pfd[1].revents != 0) {
                break;  // asked to stop
            }
            if (pfd[0].revents & POLLNVAL) {
                reportLinkLost(h, EBADF, "descriptor closed");
                break;
            }
            if (pfd[0].revents == 0) {
                continue;
            }
        }
        int size = h->read(h->handle, buf, kPacketBuffer);
        if (size == MC13226_ABORTED) {
            break;
        }
        if (size == MC13226_LINK_LOST || size == -19) {
            reportLinkLost(h, size == -19 ? ENODEV : EIO,
                           size == -19 ? "no device" : "read error or hang-up");
            break;
        }
        if (size < 0) {
            perror("Error reading ");
            continue;
        }
        zb_print_time();
        zb_print_bytes("[zb_conn read]", buf, size);
        if (size < 2) {
            fprintf(stderr, "ERROR: message too short (%d)!\n", size);
            continue;
        }
        if (h->zbifCb != nullptr) {
            h->zbifCb(h->hh, buf, size);
        }
        if (h->closedFromReader) {
            break;
        }
    }
    readersRunning.fetch_sub(1);
    if (h->closedFromReader) {
        close(h->wakeFd[0]);
        close(h->wakeFd[1]);
        free(h->freeOnExit);
        delete h;
    }
    return nullptr;
}

}  // namespace

char* get_param(char** params, const char* name) {
    if (params == nullptr || name == nullptr) {
        return nullptr;
    }
    for (int i = 0; params[i] != nullptr; i++) {
        char key[41];
        char sep;
        char value[41];
        if (sscanf(params[i], "%40[^=]%c%40s", key, &sep, value) != 3) {
            break;
        }
        if (strcmp(key, name) == 0) {
            return params[i] + strlen(key) + 1;
        }
    }
    return nullptr;
}

char** zb_url_to_params(const char* url) {
    if (url == nullptr) {
        return nullptr;
    }
    const char* scheme_end = strstr(url, "://");
    if (scheme_end == nullptr) {
        return nullptr;
    }
    if (static_cast<size_t>(scheme_end - url) != strlen("zigbee") ||
        strncmp(url, "zigbee", 6) != 0) {
        return nullptr;
    }
    const char* p = scheme_end + 3;
    const char* query = strchr(p, '?');
    if (query == nullptr) {
        return nullptr;
    }
    int room = 10;
    int count = 0;
    char** list = static_cast<char**>(calloc(room, sizeof(char*)));

    const char* start = p;
    while (p < query && *p != ':' && *p != '/') {
        p++;
    }
    if (p > start) {
        addParam(&list, &count, &room, "hostname=", start, p - start);
    }
    if (p < query && *p == ':') {
        p++;
        start = p;
        while (p < query && *p != '/') {
            p++;
        }
        if (p > start) {
            addParam(&list, &count, &room, "port=", start, p - start);
        }
    }
    if (p < query) {
        addParam(&list, &count, &room, "path=", p, query - p);
    }
    const char* piece = query + 1;
    for (;;) {
        const char* end = strchr(piece, '&');
        size_t len = end ? static_cast<size_t>(end - piece) : strlen(piece);
        if (memchr(piece, '=', len) == nullptr) {
            fprintf(stderr, "ERROR: in param=value pairs\n");
            zb_free_params(list);
            return nullptr;
        }
        addParam(&list, &count, &room, "", piece, len);
        if (end == nullptr) {
            break;
        }
        piece = end + 1;
    }
    return list;
}

void zb_free_params(char** params) {
    if (params == nullptr) {
        return;
    }
    for (int i = 0; params[i] != nullptr; i++) {
        free(params[i]);
    }
    free(params);
}

ZB_CONN_HANDLE zb_conn_open(char** params, void* hh, ZBIFReceiveCb_t zbifCb) {
    return zb_conn_open_ex(params, hh, zbifCb, nullptr);
}

ZB_CONN_HANDLE zb_conn_open_ex(char** params, void* hh, ZBIFReceiveCb_t zbifCb,
                               ZBIFLinkLostCb_t linkLostCb) {
    ZB_CONN_HANDLE h = zb_conn_open_stopped(params, hh, zbifCb, linkLostCb);
    if (h != nullptr && zb_conn_start(h) != 0) {
        zb_conn_close(h);
        return nullptr;
    }
    return h;
}

ZB_CONN_HANDLE zb_conn_open_stopped(char** params, void* hh, ZBIFReceiveCb_t zbifCb,
                                    ZBIFLinkLostCb_t linkLostCb) {
    if (params == nullptr) {
        fprintf(stderr, "ERROR: params is NULL");
        return nullptr;
    }
    const char* dongle = get_param(params, "dongle");
    if (dongle == nullptr) {
        return nullptr;
    }
    if (strcmp(dongle, "freescale") != 0) {
        fprintf(stderr, "ERROR: dongle %s not supported\n", dongle);
        return nullptr;
    }
    zb_conn_status_t* h = new zb_conn_status_t();
    h->open = freescale_open;
    h->close = freescale_close;
    h->write = freescale_transmit;
    h->read = freescale_receive;
    h->fd = freescale_fd;
    h->abort = freescale_abort;
    h->zbifCb = zbifCb;
    h->hh = hh;
    h->linkLostCb = linkLostCb;
    h->linkError.store(0);
    if (pipe2(h->wakeFd, O_CLOEXEC) != 0) {
        perror("zb_conn_open - pipe");
        delete h;
        return nullptr;
    }
    h->handle = h->open(params);
    if (h->handle == 0) {
        const int why = errno;  // the open's reason, for the caller
        close(h->wakeFd[0]);
        close(h->wakeFd[1]);
        delete h;
        errno = why;
        return nullptr;
    }
    h->abort(h->handle, 0);
    return h;
}

int zb_conn_start(ZB_CONN_HANDLE h) {
    if (h == nullptr || h->readerStarted) {
        return -1;
    }
    h->readerStarted = true;  // before the thread exists: it reads the flag
    zb_conn_reader_beat();
    readersRunning.fetch_add(1);
    if (pthread_create(&h->tid, nullptr, rcv_thread, h) != 0) {
        readersRunning.fetch_sub(1);
        h->readerStarted = false;
        return -1;
    }
    return 0;
}

int zb_conn_close(ZB_CONN_HANDLE h) {
    if (h == nullptr) {
        return -1;
    }
    if (h->readerStarted) {
        if (h->abort != nullptr) {
            h->abort(h->handle, 1);
        }
        const char stop = 's';
        ssize_t w;
        do {
            w = write(h->wakeFd[1], &stop, 1);
        } while (w < 0 && errno == EINTR);
        if (pthread_equal(pthread_self(), h->tid)) {
            // Closed from a callback on the reader itself: it ends when the callback returns and
            // releases the record then.
            pthread_detach(h->tid);
            int result = h->close(h->handle);
            h->closedFromReader = true;
            return result;
        }
        pthread_join(h->tid, nullptr);
    }
    int result = h->close(h->handle);
    close(h->wakeFd[0]);
    close(h->wakeFd[1]);
    delete h;
    return result;
}

int zb_conn_send(ZB_CONN_HANDLE h, const unsigned char* data, int size) {
    if (h == nullptr || h->write == nullptr) {
        return -19;
    }
    int result = h->write(h->handle, data, size);
    zb_print_time();
    zb_print_bytes("[zb_conn write]", data, size);
    return result;
}

bool zb_conn_on_reader(ZB_CONN_HANDLE h) {
    return h != nullptr && h->readerStarted && !h->closedFromReader &&
           pthread_equal(pthread_self(), h->tid);
}

int zb_conn_link_error(ZB_CONN_HANDLE h) {
    return h == nullptr ? ENODEV : h->linkError.load();
}

int zb_conn_backend_pending(ZB_CONN_HANDLE h) {
    if (h == nullptr || h->handle == 0) {
        return 0;
    }
    return freescale_pending(h->handle);
}

void zb_conn_reader_beat() {
    lastBeatMs.store(monotonicMs());
}

long zb_conn_reader_silence_ms() {
    if (readersRunning.load() <= 0) {
        return -1;
    }
    long long silence = monotonicMs() - lastBeatMs.load();
    return silence < 0 ? 0 : static_cast<long>(silence);
}

void zb_print_time() {
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    printf("[%2d:%02d:%02d]", utc.tm_hour, utc.tm_min, utc.tm_sec);
}

void zb_print_bytes(const char* label, const unsigned char* data, int size) {
    // One buffered line so that dumps of different threads do not interleave.
    char line[64 + 3 * 512];
    int n = snprintf(line, 64, "%s > ", label ? label : "");
    if (n < 0 || n >= 64) {
        n = 63;
    }
    for (int i = 0; i < size && i < 512 && data != nullptr; i++) {
        n += snprintf(line + n, sizeof(line) - n, "%02X ", data[i]);
    }
    printf("%s\n", line);
}
