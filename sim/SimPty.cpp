#include "SimPty.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zbsim {

bool openPtyPair(PtyPair& pty, std::string& err) {
    closePtyPair(pty);
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
        err = std::string("pseudo-terminal: ") + std::strerror(errno);
        closePtyPair(pty);
        return false;
    }
    const char* name = ptsname(pty.master);
    if (name == nullptr) {
        err = "ptsname failed";
        closePtyPair(pty);
        return false;
    }
    pty.slavePath = name;
    pty.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.slave < 0) {
        err = std::string("open ") + name + ": " + std::strerror(errno);
        closePtyPair(pty);
        return false;
    }
    termios t;
    if (tcgetattr(pty.slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(pty.slave, TCSANOW, &t);
    }
    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    return true;
}

void closePtyPair(PtyPair& pty) {
    for (int* fd : {&pty.master, &pty.slave}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    pty.slavePath.clear();
}

}  // namespace zbsim
