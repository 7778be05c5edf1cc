#ifndef ORQ_CLOGSTORAGE_H
#define ORQ_CLOGSTORAGE_H

#include <mutex>
#include <string>

// The XML log file "log.xml" in the working directory, shared by every logger whose file
// output is on. After each record the file is a well-formed <LogFile> document.
// print() may be called from any thread; records are serialised by `mux`.
class LogStorage {
  public:
    static LogStorage* Instance();

    // Creates (or truncates) the file with an empty <LogFile> element.
    void init();
    // Appends one record just before the closing tag.
    void print(const std::string& text);

  private:
    LogStorage();

    std::mutex mux;
};

#endif
