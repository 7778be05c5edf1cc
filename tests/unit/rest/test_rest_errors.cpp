#include <gtest/gtest.h>

#include "RESTErrors.h"

namespace {

TEST(RESTErrors, TableCodesAndDescriptions) {
    struct Row {
        RESTError eid;
        int code;
        const char* text;
    } rows[] = {
        {NO_ERROR, 0, ""},
        {METHOD_NOT_ALLOWED, 7, "Method not allowed on resource"},
        {WRONG_REQUEST, 2, "Wrong request on resource"},
        {FEATURE_NOT_SUPPORTED, 2, "Feature not supported"},
        {GENERIC_REST_ERROR, 2, "REST Error"},
        {BAD_PARAMETER, 4, "Bad input parameter"},
        {PARAMETER_MISSING, 3, "Parameter missing"},
        {URILISTENER_ALREADY_REGISTERED, 4, "URIListener already registered"},
        {URILISTENER_NOT_REGISTERED, 4, "URIListener not previously registered"},
        {URILISTENER_LIST_MAX_SIZE_EXCEEDED, 8, "URIListener list maximum size exceeded"},
        {TIMEOUT, 1, "Timeout"},
        {NO_MESSAGE_YET, 6, "No message received so far"},
        {ZB_NWK_FAILURE, 10, "ZigBee Network Failure"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.code, restErrorCode(r.eid)) << r.eid;
        EXPECT_STREQ(r.text, restErrorDescription(r.eid)) << r.eid;
    }
    EXPECT_EQ(2, restErrorCode(static_cast<RESTError>(99)));
    EXPECT_STREQ("REST Error", restErrorDescription(static_cast<RESTError>(-1)));
}

TEST(RESTErrors, ExceptionsCarryTheirDescription) {
    RESTException withText(BAD_PARAMETER, "Bad timeout parameter");
    EXPECT_STREQ("Bad timeout parameter", withText.message());
    RESTException without(NO_MESSAGE_YET);
    EXPECT_EQ(nullptr, without.message());
    HTTPException http(405, "Method Not Allowed");
    EXPECT_EQ(405, http.code);
    EXPECT_STREQ("Method Not Allowed", http.what());
}

}  // namespace
