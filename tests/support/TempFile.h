// A file with the given text, or a fresh directory, under /tmp for the length of one test.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
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

// Removed with all it holds.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/orq_dirXXXXXX";
        dir_ = mkdtemp(name) != nullptr ? name : "/nonexistent";
    }
    ~TempDir() { std::filesystem::remove_all(dir_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (dir_ / name).string(); }
    const std::filesystem::path& path() const { return dir_; }

  private:
    std::filesystem::path dir_;
};
