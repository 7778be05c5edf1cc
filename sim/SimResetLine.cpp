#include "SimResetLine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zbsim {

namespace {
constexpr char kReset[] = "reset";
constexpr size_t kResetLen = sizeof(kReset) - 1;
}  // namespace

ResetLine::~ResetLine() {
    if (fd_ >= 0)
        close(fd_);
    if (created_)
        unlink(path_.c_str());
}

bool ResetLine::open(const std::string& path, std::string& err) {
    path_ = path;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT || mkfifo(path.c_str(), 0600) != 0) {
            err = "reset line " + path + ": " + std::strerror(errno);
            return false;
        }
        created_ = true;
        st.st_mode = S_IFIFO;
    }
    if (S_ISFIFO(st.st_mode)) {
        fifo_ = true;
    } else if (!S_ISREG(st.st_mode)) {
        err = "reset line " + path + " is neither a FIFO nor a regular file";
        return false;
    }
    // A FIFO is held open for writing too, so that it never reads as closed between writers.
    fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        err = "reset line " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool ResetLine::takeReset() {
    if (fd_ < 0)
        return false;
    char buf[256];
    bool readAny = false;
    for (;;) {
        const ssize_t n = fifo_ ? read(fd_, buf, sizeof(buf)) : pread(fd_, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        readAny = true;
        seen_.append(buf, static_cast<size_t>(n));
        if (!fifo_)
            break;  // a file is read from its start once, then emptied
    }
    if (!fifo_ && readAny && ftruncate(fd_, 0) != 0) {
        close(fd_);  // a file that cannot be emptied would reset the module at every look
        fd_ = -1;
    }
    const bool reset = seen_.find(kReset) != std::string::npos;
    if (reset)
        seen_.clear();
    else if (seen_.size() > kResetLen)
        seen_.erase(0, seen_.size() - (kResetLen - 1));
    return reset;
}

}  // namespace zbsim
