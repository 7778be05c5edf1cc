// A file with the given text under /tmp for the length of one test.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

class TempFile {
  public:
    explicit TempFile(const std::string& text) {
        char name[] = "/tmp/orq_testXXXXXX";
        int fd = mkstemp(name);
        path_ = name;
        if (fd >= 0) {
            (void)!::write(fd, text.data(), text.size());
            close(fd);
        }
    }
    ~TempFile() { unlink(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};
