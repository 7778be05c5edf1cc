#include "CLogStorage.h"

#include <cstdio>

namespace {
const char kLogFile[] = "log.xml";
const char kClosing[] = "</LogFile>\n";
const long kClosingLength = sizeof(kClosing) - 1;
}  // namespace

LogStorage* LogStorage::Instance() {
    static LogStorage* pInstance = new LogStorage();
    return pInstance;
}

LogStorage::LogStorage() {
    std::printf("LogStorage Constructor\n");
    std::fflush(stdout);
    init();
}

void LogStorage::init() {
    std::lock_guard<std::mutex> lock(mux);
    FILE* f = std::fopen(kLogFile, "w");
    if (f == nullptr) {
        std::perror("LogStorage::init - log.xml");
        return;
    }
    std::fputs("<LogFile>", f);
    std::fputs(kClosing, f);
    std::fclose(f);
}

void LogStorage::print(const std::string& text) {
    std::lock_guard<std::mutex> lock(mux);
    FILE* f = std::fopen(kLogFile, "r+");
    if (f == nullptr) {
        return;
    }
    if (std::fseek(f, -kClosingLength, SEEK_END) == 0) {
        std::fputs(text.c_str(), f);
        std::fputs(kClosing, f);
    }
    std::fclose(f);
}
