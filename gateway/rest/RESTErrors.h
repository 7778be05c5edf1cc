#ifndef ORQ_RESTERRORS_H
#define ORQ_RESTERRORS_H

#include <exception>
#include <string>

// Errors reported to REST clients in the XML error document; each has the status code that
// goes into the document and a default description.
enum RESTError {
    NO_ERROR = 0,
    METHOD_NOT_ALLOWED = 1,
    WRONG_REQUEST = 2,
    FEATURE_NOT_SUPPORTED = 3,
    GENERIC_REST_ERROR = 4,
    BAD_PARAMETER = 5,
    PARAMETER_MISSING = 6,
    URILISTENER_ALREADY_REGISTERED = 7,
    URILISTENER_NOT_REGISTERED = 8,
    URILISTENER_LIST_MAX_SIZE_EXCEEDED = 9,
    TIMEOUT = 10,
    NO_MESSAGE_YET = 11,
    ZB_NWK_FAILURE = 12,
};

struct RESTErrorEntry {
    RESTError eid;
    int code;
    const char* description;
};

// The error table, one row per RESTError in value order.
inline constexpr RESTErrorEntry ctable[] = {
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
inline constexpr int kRESTErrorCount = 13;

// Document status code of `eid`; GENERIC_REST_ERROR's for a value outside the table.
int restErrorCode(RESTError eid);
// Default description of `eid`; GENERIC_REST_ERROR's for a value outside the table.
const char* restErrorDescription(RESTError eid);

// Thrown by handlers for a bad request; answered with the XML error document.
class RESTException : public std::exception {
  public:
    explicit RESTException(RESTError e, const char* m = nullptr)
        : eid(e), msg(m != nullptr ? m : ""), hasMsg(m != nullptr) {}
    const char* what() const noexcept override { return hasMsg ? msg.c_str() : "RESTException"; }
    // The description given by the thrower, or null.
    const char* message() const { return hasMsg ? msg.c_str() : nullptr; }

    RESTError eid;
    std::string msg;
    bool hasMsg;
};

// Thrown to end an exchange with a bare HTTP status (no XML document).
class HTTPException : public std::exception {
  public:
    HTTPException(int c, const char* m) : code(c), msg(m != nullptr ? m : "") {}
    const char* what() const noexcept override { return msg.c_str(); }

    int code;
    std::string msg;
};

#endif
