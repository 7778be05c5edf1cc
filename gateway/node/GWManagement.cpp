#include "GWManagement.h"

#include <cstdio>
#include <ctime>
#include <iterator>

#include "CDebug.h"

namespace {
struct CodeText {
    int code;
    const char* text;
};

constexpr CodeText kStateTexts[] = {
    {0, "GW Stopped"},
    {1, "GW ZigBee Network Processor initialized"},
    {2, "GW is starting (ZigBee Network Processor configuration)"},
    {3, "GW successfully started"},
    {4, "GW Error"},
};

constexpr CodeText kErrorTexts[] = {
    {0, ""},
    {1, "Generic GW error"},
    {2, "Unknown GW error"},
    {3, "Unknown GW State"},
    {4, "ZigBee Network Processor initialization failed"},
    {5, "ORQ not running"},
    {501, "ZigBee Network Processor not answering"},
    {502, "ZigBee Network Processor reset by itself"},
};

struct AgentErrorRow {
    AgentError error;
    int restCode;
    const char* text;
};

// Indexed by the AgentError value; the order is checked at compile time below.
constexpr AgentErrorRow kAgentErrors[] = {
    {AGENT_SUCCESS, REST_NO_ERROR, ""},
    {AGENT_ERROR, REST_GENERIC_REST_ERROR, "Generic Agent error"},
    {UNKNOWN_AGENT_ERROR, REST_GENERIC_REST_ERROR, "Unknown Agent error"},
    {ORQ_NOT_RUNNING, REST_GENERIC_REST_ERROR, "ORQ not running"},
    {AGENT_BUSY, REST_GENERIC_REST_ERROR, "Agent Busy"},
    {TIMER_ERROR, REST_GENERIC_REST_ERROR, "ERROR creating timer"},
    {TIMER_EXPIRED, REST_TIMEOUT, "Timer expired"},
    {INQUIRY_ERROR, REST_GENERIC_REST_ERROR, "ERROR returned by ZDO_IEEE_ADDR_confirm"},
    {INQUIRY_CACHE_EMPTY, REST_GENERIC_REST_ERROR, "Inquiry cache empty"},
    {INQUIRY_NOT_RUNNING, REST_GENERIC_REST_ERROR, "Inquiry not running"},
    {INQUIRY_NONEXISTENTENT_NODE, REST_GENERIC_REST_ERROR,
     "A ZDO IEEE Addr confirm for a nonexistent node has been received"},
    {NODE_DESCRIPTOR_ERROR, REST_GENERIC_REST_ERROR, "ERROR returned by ZDO_NODE_DESC_confirm"},
    {NONEXISTENTENT_NODE, REST_GENERIC_REST_ERROR,
     "A ZDO confirm for a nonexistent node has been received"},
    {POWER_DESCRIPTOR_ERROR, REST_GENERIC_REST_ERROR, "ERROR returned by ZDO_POWER_DESC_confirm"},
    {ANNCE_MODE_ALREADY_RUNNING, REST_GENERIC_REST_ERROR, "AnnouncementsMode already running"},
    {ANNCE_MODE_NOT_RUNNING, REST_GENERIC_REST_ERROR, "AnnouncementsMode not running"},
    {ACTIVE_EP_ERROR, REST_GENERIC_REST_ERROR, "ERROR returned by ZDO_ACTIVE_EP_DESC_confirm"},
    {SERVICE_DESCRIPTOR_ERROR, REST_GENERIC_REST_ERROR,
     "ERROR returned by ZDO_SIMPLE_DESC_confirm"},
    {GETNODEBINDING_ERROR, REST_GENERIC_REST_ERROR, "ERROR returned by ZDP_MGMT_BIND_Response"},
    {BIND_ERROR, REST_GENERIC_REST_ERROR, "ERROR returned by ZDP_BIND_Response"},
    {UNBIND_ERROR, REST_GENERIC_REST_ERROR, "ERROR returned by ZDP_UNBIND_response"},
    {NO_AVAILABLE_ENDPOINT, REST_GENERIC_REST_ERROR,
     "No available endpoint - service registration failed"},
    {ENDPOINT_NOT_REGISTERED, REST_GENERIC_REST_ERROR, "Endpoint not registered"},
    {NO_ACTIVE_WSN_CONNECTIONS, REST_GENERIC_REST_ERROR, "No active WSN Connection"},
    {NO_CUSTOMIZED_FILTER_FOUND, REST_GENERIC_REST_ERROR, "No customized callback registered"},
    {MSG_CACHE_EMPTY, REST_GENERIC_REST_ERROR, "Message Cache Empty"},
    {SENDING_MSG_ERROR, REST_GENERIC_REST_ERROR, "ERROR sending message"},
    {WSNC_AUTH_FOR_NONEXISTENTENT_NODE, REST_GENERIC_REST_ERROR,
     "A WSN-C authorization response for a nonexistent node has been received"},
    {PENDING_NODES_NUMBER_OVERFLOW, REST_GENERIC_REST_ERROR,
     "The maximum number of pending nodes has been reached"},
    {GW_STARTUP_ALREADY_CALLED, REST_GENERIC_REST_ERROR, "GW startup already invoked"},
    {INVALID_GW_STATUS, REST_METHOD_NOT_ALLOWED, "Invalid GW Status"},
    {GW_STARTUP_FORMING_NETWORK_FAILED, REST_ZB_NWK_FAILURE,
     "GW startup Forming ZigBee network failed"},
    {GW_STARTUP_JOINING_NETWORK_FAILED, REST_ZB_NWK_FAILURE,
     "GW startup Joining ZigBee network failed"},
};

constexpr bool agentErrorsInOrder() {
    int i = 0;
    for (const auto& row : kAgentErrors) {
        if (static_cast<int>(row.error) != i++) {
            return false;
        }
    }
    return i == AGENT_ERROR_COUNT;
}
static_assert(agentErrorsInOrder(), "agent error table must be indexed by AgentError");

const char* findText(const CodeText* begin, const CodeText* end, int code) {
    for (const CodeText* p = begin; p != end; ++p) {
        if (p->code == code) {
            return p->text;
        }
    }
    return nullptr;
}
}  // namespace

GWManagementMessages* GWManagementMessages::Instance() {
    static GWManagementMessages instance;
    return &instance;
}

GWManagementMessages::GWManagementMessages() : pLogger(new Debug("GWManagementMessages")) {
    configureLogger(*pLogger, nullptr, 1);
}

std::string GWManagementMessages::getStateDescMessage(int state) const {
    const char* text = findText(std::begin(kStateTexts), std::end(kStateTexts), state);
    if (text != nullptr) {
        return text;
    }
    std::string err = getErrorMessage(GW_UNKNOWN_STATE);
    ORQ_LOG(*pLogger, WARN,
            "getStateDescMessage - No state description for GW State Code = %d -> return "
            "Error = %s",
            state, err.c_str());
    return err;
}

const char* GWManagementMessages::findErrorMessage(int errorId) const {
    return findText(std::begin(kErrorTexts), std::end(kErrorTexts), errorId);
}

std::string GWManagementMessages::getErrorMessage(int errorId) const {
    const char* text = findText(std::begin(kErrorTexts), std::end(kErrorTexts), errorId);
    if (text != nullptr) {
        return text;
    }
    const char* unknown =
        findText(std::begin(kErrorTexts), std::end(kErrorTexts), GW_UNKNOWN_ERROR);
    ORQ_LOG(*pLogger, WARN,
            "getErrorMessage - No Error Description for errorId = %d -> return Error "
            "Description = %s",
            errorId, unknown);
    return unknown;
}

AgentErrorMessages* AgentErrorMessages::Instance() {
    static AgentErrorMessages instance;
    return &instance;
}

const char* AgentErrorMessages::getErrorMessage(AgentError error) const {
    int i = static_cast<int>(error);
    if (i < 0 || i >= AGENT_ERROR_COUNT) {
        i = UNKNOWN_AGENT_ERROR;
    }
    return kAgentErrors[i].text;
}

int AgentErrorMessages::getRESTError(AgentError error) const {
    int i = static_cast<int>(error);
    if (i < 0 || i >= AGENT_ERROR_COUNT) {
        i = UNKNOWN_AGENT_ERROR;
    }
    return kAgentErrors[i].restCode;
}

GwDescriptor::GwDescriptor() : pGWManagementMsgs(GWManagementMessages::Instance()) {
    gwStateDesc = pGWManagementMsgs->getStateDescMessage(0);
    errorCodeDesc = pGWManagementMsgs->getErrorMessage(0);
}

GwDescriptor::~GwDescriptor() = default;

GwDescriptor::GwDescriptor(const GwDescriptor& other) : pGWManagementMsgs(other.pGWManagementMsgs) {
    *this = other;
}

GwDescriptor& GwDescriptor::operator=(const GwDescriptor& other) {
    if (this == &other) {
        return *this;
    }
    std::scoped_lock lock(mux, other.mux);
    wsnId = other.wsnId;
    gwState = other.gwState;
    gwStateDesc = other.gwStateDesc;
    errorCode = other.errorCode;
    errorCodeDesc = other.errorCodeDesc;
    firmwareVersion = other.firmwareVersion;
    timeStamp = other.timeStamp;
    pGWManagementMsgs = other.pGWManagementMsgs;
    return *this;
}

std::string GwDescriptor::formatTimeStamp(time_t t) {
    struct tm local;
    localtime_r(&t, &local);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%s", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  "+01:00");
    return buf;
}

void GwDescriptor::setGwState(int state) {
    std::string desc = pGWManagementMsgs->getStateDescMessage(state);
    std::string stamp = formatTimeStamp(std::time(nullptr));
    std::lock_guard<std::mutex> lock(mux);
    gwState = state;
    gwStateDesc = desc;
    timeStamp = stamp;
}

void GwDescriptor::setGwState(int state, int code) {
    std::string desc = pGWManagementMsgs->getStateDescMessage(state);
    std::string errorDesc = pGWManagementMsgs->getErrorMessage(code);
    std::string stamp = formatTimeStamp(std::time(nullptr));
    std::lock_guard<std::mutex> lock(mux);
    gwState = state;
    gwStateDesc = desc;
    timeStamp = stamp;
    errorCode = code;
    errorCodeDesc = errorDesc;
}

void GwDescriptor::setErrorCode(int code) {
    std::string desc = pGWManagementMsgs->getErrorMessage(code);
    std::lock_guard<std::mutex> lock(mux);
    errorCode = code;
    errorCodeDesc = desc;
}

void GwDescriptor::setWSNId(const std::string& id) {
    std::lock_guard<std::mutex> lock(mux);
    wsnId = id;
}

std::string GwDescriptor::getWSNId() const {
    std::lock_guard<std::mutex> lock(mux);
    return wsnId;
}

int GwDescriptor::getGwState() const {
    std::lock_guard<std::mutex> lock(mux);
    return gwState;
}

std::string GwDescriptor::getGwStateDescription() const {
    std::lock_guard<std::mutex> lock(mux);
    return gwStateDesc;
}

int GwDescriptor::getErrorCode() const {
    std::lock_guard<std::mutex> lock(mux);
    return errorCode;
}

std::string GwDescriptor::getErrorCodeDescription() const {
    std::lock_guard<std::mutex> lock(mux);
    return errorCodeDesc;
}

std::string GwDescriptor::getFirmwareVersion() const {
    std::lock_guard<std::mutex> lock(mux);
    return firmwareVersion;
}

std::string GwDescriptor::getTimeStamp() const {
    std::lock_guard<std::mutex> lock(mux);
    return timeStamp;
}

void GwDescriptor::setTimeStamp(const std::string& stamp) {
    std::lock_guard<std::mutex> lock(mux);
    timeStamp = stamp;
}
