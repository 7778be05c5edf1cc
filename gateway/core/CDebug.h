#ifndef ORQ_CDEBUG_H
#define ORQ_CDEBUG_H

#include <string>

class LogStorage;

// Message types, lowest first.
enum { DEBUG = 0, INFO = 1, WARN = 2, ERROR = 3, FATAL = 4 };

// One logger per component. Settings are made once while the component is built and
// only read afterwards, so a logger may be used from any thread; console lines and
// log-file records are each written whole.
class Debug {
  public:
    explicit Debug(const std::string& name = "className");

    void setDebugMode(int mode) { _debugMode = mode; }
    int getDebugMode() const { return _debugMode; }
    void setDebugLevel(int level) { _debugLevel = level; }
    int getDebugLevel() const { return _debugLevel; }
    // 0 = plain line, 1 = XML record; other values are ignored.
    void setDebugMsgFormat(int format);
    int getDebugMsgFormat() const { return _debugmsgformat; }
    // Output 0 is the console, 1 the log file. Only a logger whose mode is on changes them.
    void enableDebugOuput(int output);
    void disableDebugOuput(int output);
    bool isOutputEnabled(int output) const;
    const std::string& name() const { return className; }

    // Returns -1 when the mode is off, 0 otherwise. A FATAL message that is printed
    // ends the process with status 255.
    int logDebugMsg(const char* fileName, int lineNumber, int type, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

  private:
    LogStorage* logStorage = nullptr;
    int _debugMode = 0;
    int _debugLevel = 0;
    int _debugmsgformat = 1;
    std::string className;
    int outputs[2] = {0, 0};
};

// Configures a component's logger the way every component does: mode from
// main:debugEnabled, level from `levelKey` (null: `fixedLevel`), plain format, console on.
void configureLogger(Debug& logger, const char* levelKey, int fixedLevel = 1);

// The source file's base name, for log lines.
constexpr const char* orqBaseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}

#define ORQ_LOG(logger, type, ...) \
    (logger).logDebugMsg(orqBaseName(__FILE__), __LINE__, (type), __VA_ARGS__)

#endif
