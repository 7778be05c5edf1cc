#include "CDebug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "CLogStorage.h"
#include "ConfigurationRepository.h"

namespace {
// At most 498 characters of a message survive; formatted pieces at most 98.
constexpr size_t kTextSize = 499;
constexpr size_t kPieceSize = 99;

std::mutex& consoleMutex() {
    static std::mutex mutex;
    return mutex;
}
}  // namespace

Debug::Debug(const std::string& name) : className(name) {}

void Debug::setDebugMsgFormat(int format) {
    if (format == 0 || format == 1) {
        _debugmsgformat = format;
    }
}

void Debug::enableDebugOuput(int output) {
    if (_debugMode != 1 || (output != 0 && output != 1) || outputs[output] == 1) {
        return;
    }
    outputs[output] = 1;
    if (output == 1) {
        logStorage = LogStorage::Instance();
    }
}

void Debug::disableDebugOuput(int output) {
    if (_debugMode == 1 && (output == 0 || output == 1)) {
        outputs[output] = 0;
    }
}

bool Debug::isOutputEnabled(int output) const {
    return (output == 0 || output == 1) && outputs[output] == 1;
}

int Debug::logDebugMsg(const char* fileName, int lineNumber, int type, const char* format, ...) {
    if (_debugMode == 0) {
        return -1;
    }
    char text[kTextSize] = {0};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (_debugLevel > type) {
        return 0;
    }

    std::string line;
    char piece[kPieceSize];
    if (_debugmsgformat == 0) {
        std::snprintf(piece, sizeof piece, "%s:%d - ", fileName, lineNumber);
        line = piece;
        line += text;
    } else {
        line = "<DebugMsg ";
        std::snprintf(piece, sizeof piece, "Type=\"%d\" ClassName=\"%s\" ", type,
                      className.c_str());
        line += piece;
        std::snprintf(piece, sizeof piece, "Filename=\"%s\" LineNumber=\"%d\" >", fileName,
                      lineNumber);
        line += piece;
        line += "<Log>";
        line += text;
        line += "</Log></DebugMsg>";
    }

    if (outputs[0] == 1) {
        std::lock_guard<std::mutex> lock(consoleMutex());
        std::fflush(stdout);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    if (outputs[1] == 1 && logStorage != nullptr) {
        logStorage->print(line);
    }
    if (type == FATAL) {
        std::exit(-1);
    }
    return 0;
}

void configureLogger(Debug& logger, const char* levelKey, int fixedLevel) {
    ConfigurationRepository* config = ConfigurationRepository::instance();
    logger.setDebugMode(config->getint("main:debugEnabled", 0) != 0 ? 1 : 0);
    logger.setDebugLevel(levelKey != nullptr ? config->getint(levelKey, 1) : fixedLevel);
    logger.setDebugMsgFormat(0);
    logger.enableDebugOuput(0);
}
