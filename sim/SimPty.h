// The pseudo-terminal a gateway opens as its serial device, for zbsim and the tests that put a
// module of their own behind one.
#pragma once

#include <string>

namespace zbsim {

struct PtyPair {
    int master = -1;  // our side: non-blocking
    // The gateway's side, held open as well so that the master stays readable and writable
    // while no gateway is attached; set raw.
    int slave = -1;
    std::string slavePath;
};

// Opens a new pair; on failure nothing stays open and err says why.
bool openPtyPair(PtyPair& pty, std::string& err);
// Closes what is open (safe twice).
void closePtyPair(PtyPair& pty);

}  // namespace zbsim
