#include "RESTErrors.h"

namespace {

constexpr bool tableInValueOrder() {
    for (int i = 0; i < kRESTErrorCount; ++i) {
        if (static_cast<int>(ctable[i].eid) != i) {
            return false;
        }
    }
    return true;
}

const RESTErrorEntry& entryOf(RESTError eid) {
    int i = static_cast<int>(eid);
    if (i < 0 || i >= kRESTErrorCount) {
        i = GENERIC_REST_ERROR;
    }
    return ctable[i];
}

}  // namespace

static_assert(sizeof(ctable) / sizeof(ctable[0]) == kRESTErrorCount, "one row per RESTError");
static_assert(tableInValueOrder(), "ctable rows must follow the RESTError values");

int restErrorCode(RESTError eid) {
    return entryOf(eid).code;
}

const char* restErrorDescription(RESTError eid) {
    return entryOf(eid).description;
}
