#include "Agents.h"

#include <climits>

bool timeoutToSeconds(unsigned long ms, int* seconds) {
    if (ms == 0 || ms == 4294967295UL || ms == ULONG_MAX) {
        return false;
    }
    unsigned long s = ms / 1000 + (ms % 1000 != 0 ? 1 : 0);
    *seconds = s > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(s);
    return true;
}
