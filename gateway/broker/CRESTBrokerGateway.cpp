// RESTBroker: the resources that act on the gateway as a whole. Network start-up (/startup),
// reset (/reset), version (/version), the gateway information base (/ib/00/00), the network
// information base (/net/<id>/ib/<attribute>), frequency agility and permit join, and the
// gateway state notifications from the local node.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "CRESTBroker.h"
#include "ConfigurationRepository.h"

namespace {

// Reads `text` as a number in `base` (0x allowed for 16); false for anything else or a value
// outside [min, max].
bool readNumber(const std::string& text, int base, long min, long max, long* out) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, base);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value < min || value > max) {
        return false;
    }
    *out = value;
    return true;
}

// Eight bytes from hexadecimal text: pairs of digits, each pair optionally written "0x",
// separated by blanks or not at all ("00 11 22 ..", "0x00 0x11 ..", "0011..").
bool readExtendedPanId(const std::string& text, unsigned char out[8]) {
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == ':' || c == '-') {
            continue;
        }
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            ++i;
            continue;
        }
        digits += c;
    }
    return bytesOfHex(digits, out, 8);
}

using Listeners = RESTBroker::Listeners;
constexpr RESTBroker::RemoteProcedure kStartup{"startup_Req",
                                               &Listeners::startup,
                                               PARAMETER_MISSING,
                                               "timeout parameter missing",
                                               "timeout parameter %lx (%lu)",
                                               "startGatewayDevice (non-blocking procedure)",
                                               PARAMETER_MISSING,
                                               "query not containing callback destination"};
// The reset takes no time-out.
constexpr RESTBroker::RemoteProcedure kReset{
    "reset_Req",   &Listeners::resetCommand,          NO_ERROR, nullptr, nullptr, "asynch call",
    WRONG_REQUEST, "callback destination not present"};
// Frequency agility has no non-blocking form.
constexpr RESTBroker::RemoteProcedure kFrequencyAgility{"frequencyAgility_Req",
                                                        nullptr,
                                                        WRONG_REQUEST,
                                                        "timeout parameter missing!",
                                                        "timeout parameter 0x%lx (%lu ms)",
                                                        nullptr,
                                                        WRONG_REQUEST,
                                                        nullptr};
constexpr RESTBroker::RemoteProcedure kPermitJoin{"ndPermitJoin_Req",
                                                  &Listeners::permitJoin,
                                                  WRONG_REQUEST,
                                                  "timeout parameter missing",
                                                  "timeout parameter 0x%02lx (%lu) ms",
                                                  "asynch call",
                                                  WRONG_REQUEST,
                                                  "callback destination not present"};

// The gateway's own read-only documents, kept like those of the network: the version document
// is made from nothing that changes, the gateway state document from the state alone (the
// state is its version). Neither depends on the broker that answers, so the process keeps one
// of each.
KeptDocument keptVersion;
KeptDocument keptState;

// Answers `session` from `kept` as made at `version` (composed by `compose` when it was not).
void answerKept(RESTServer* server, KeptDocument& kept, unsigned long long version,
                RESTSessionContext* session, const std::function<std::string()>& compose) {
    server->restSuccess(
        kept.get(version, 0, compose,
                 [server](KeptDocument::Text doc) { return server->keptReply(std::move(doc)); }),
        session->getSessionId());
}

}  // namespace

unsigned long RESTBroker::agentTimeout(const RESTCallbackInfo& info) {
    return info.timeoutSet ? info.timeout : 0;
}

std::string RESTBroker::networkId() {
    return resources.net != nullptr ? resources.net->name() : std::string("default");
}

void RESTBroker::clearWsnNodes(const char* logLine) {
    ORQ_LOG(*pLogger, DEBUG, "%s%s/wsnnodes resources", logLine, networkId().c_str());
    Resource* net = resources.net;
    onTreeThread([this, net] {
        Resource* wsnnodes = pRESTServer->findResource(net, "wsnnodes");
        if (wsnnodes != nullptr) {
            pRESTServer->clearResource(wsnnodes);
        }
    });
}

bool RESTBroker::linkLost() {
    return pOrqZb->getGWStatus() == GW_ERROR &&
           pLocalNode->getGwDescriptor()->getErrorCode() == GW_GENERIC_ERROR;
}

// --- /startup ---

// The start-up attribute document of `body` into `info`; throws the error of the result.
void RESTBroker::parseStartup(const std::string* body, StartupAttributeInfo* info, bool blocking) {
    const int result =
        pXMLMsgParser->getStartupAttributeInfo(info, body != nullptr ? body->c_str() : "");
    switch (result) {
        case XMLMsgParser::PARSE_OK:
            return;
        case XMLMsgParser::PARSE_BAD_DOCUMENT:
            if (blocking) {
                throw RESTException(PARAMETER_MISSING, "StartupAttributeInfo parameters missing");
            }
            throw RESTException(BAD_PARAMETER, "Bad StartupAttributeInfo XML message");
        case XMLMsgParser::PARSE_MISSING_ELEMENT:
            throw RESTException(blocking ? PARAMETER_MISSING : WRONG_REQUEST,
                                "Mandatory parameter missing in StartupAttributeInfo XML message");
        default:
            throw RESTException(BAD_PARAMETER, "Invalid value in StartupAttributeInfo XML message");
    }
}

void RESTBroker::startup_Req(Resource* resource, const char*, Method method, const char* query,
                             std::string* body, RESTSessionContext* session) {
    ORQ_LOG(*pLogger, DEBUG, "startup_Req");
    if (method == M_GET) {
        ORQ_LOG(*pLogger, INFO, "startup_Req - readStartupAttributeSet feature not supported");
        throw RESTException(FEATURE_NOT_SUPPORTED, "readStartupAttributeSet not implemented");
    }
    if (method != M_POST) {
        badMethod(resource, session);
    }
    std::string start;
    pQueryParser->getParameter("start", query, start);
    if (start.empty()) {
        ORQ_LOG(*pLogger, INFO, "startup_Req - start parameter missing");
        throw RESTException(PARAMETER_MISSING, "Missing start parameter");
    }
    if (start != "true") {
        ORQ_LOG(*pLogger, INFO, "startup_Req - start parameter false");
        ORQ_LOG(*pLogger, INFO, "startup_Req - ConfigureStartupAttribute has to be invoked");
        throw RESTException(FEATURE_NOT_SUPPORTED, "ConfigureStartupAttributeSet not implemented");
    }
    ORQ_LOG(*pLogger, DEBUG, "startup_Req - start parameter true");
    ORQ_LOG(*pLogger, DEBUG, "startup_Req - timeoutSet = %d", session->cbinfo.timeoutSet);
    requireTimeout(kStartup, session);
    if (linkLost()) {
        // Nothing would ever answer a start on a dead link.
        ORQ_LOG(*pLogger, ERROR, "startup_Req - the co-processor link is lost");
        throw RESTException(GENERIC_REST_ERROR, "ZigBee device link lost");
    }
    if (isNonBlocking(kStartup, session)) {
        addSessionListener(kStartup.name, &listeners.startup, session);
        return;
    }
    ORQ_LOG(*pLogger, DEBUG, "startup_Req - startGatewayDevice (blocking procedure)");
    StartupAttributeInfo info;
    parseStartup(body, &info, true);
    LocalNodeT::StartGatewayDeviceCtxt ctx(session->getSessionId(), this,
                                           &RESTBroker::startup_RspCb, nullptr);
    const int rc = pLocalNode->startGatewayDevice(agentTimeout(session->cbinfo), &info, &ctx);
    if (rc != AGENT_SUCCESS) {
        // Answered by the local node already, except a timer that could not be armed.
        RPCReqStatus st(NotAvailable, -1, static_cast<AgentError>(rc));
        restResponse("startup_Req", session->getSessionId(), std::string(), nullptr, &st);
    }
}

void RESTBroker::startupAttach(RBURIListenerList* list, const uriListener_t& listener,
                               int sessionId, bool) {
    if (list->running.load()) {
        ORQ_LOG(*pLogger, INFO, "startupAttach - l->running true, already called");
        return;
    }
    const auto* info = dynamic_cast<const RESTCallbackInfo*>(listener.hback);
    if (info == nullptr || info->refRestSessionCtxt == nullptr) {
        return;
    }
    ORQ_LOG(*pLogger, DEBUG, "startupAttach - timeout value = %lu", info->timeout);
    StartupAttributeInfo attributes;
    parseStartup(info->refRestSessionCtxt->rxData(), &attributes, false);
    LocalNodeT::StartGatewayDeviceCtxt ctx(sessionId, this, &RESTBroker::startup_RspCb,
                                           &RESTBroker::startup_NtfCb);
    startOneShot(list, listener, [&] {
        const int rc = pLocalNode->startGatewayDevice(agentTimeout(*info), &attributes, &ctx);
        if (rc != AGENT_SUCCESS) {
            // Most refusals the local node answered already; the exchange keeps that answer.
            RPCReqStatus st(NotAvailable, -1, static_cast<AgentError>(rc));
            restResponse("startupAttach", sessionId, std::string(), nullptr, &st);
        }
        return rc;
    });
}

void* RESTBroker::startup_RspCb(unsigned char commandStatus, int sessionId, RPCReqStatus* status) {
    ORQ_LOG(*pLogger, DEBUG, "startup_RspCb - commandStatus = 0x%02x", commandStatus);
    const bool acceptance =
        status != nullptr && status->isReqAsynch() && status->getReturnValue() == AGENT_SUCCESS;
    if (!acceptance && status != nullptr) {
        const AgentError error = status->getReturnValue();
        if (error == AGENT_SUCCESS && pOrqDb->getStartModeSetting() != 1) {
            clearWsnNodes("startup_RspCb - NVM not used -> clear net/");
        } else if (error == GW_STARTUP_FORMING_NETWORK_FAILED ||
                   error == GW_STARTUP_JOINING_NETWORK_FAILED) {
            clearWsnNodes("startup_RspCb - Error in forming or joining a nwk - clear net/");
        }
    }
    char nwk[8];
    const char* nwkStatus = nullptr;
    if (commandStatus == 255) {
        ORQ_LOG(*pLogger, DEBUG, "startup_RspCb - nwkStatus = NULL");
    } else {
        std::snprintf(nwk, sizeof(nwk), "%d", commandStatus);
        nwkStatus = nwk;
    }
    if (sessionId == -1) {
        ORQ_LOG(*pLogger, DEBUG,
                "startup_RspCb - It was a local REST request (no HTTP request triggered the "
                "method invocation)");
        if (status != nullptr && status->getReturnValue() != AGENT_SUCCESS) {
            std::printf("startup - ERROR: %s (command status 0x%02x)\n",
                        AgentErrorMessages::Instance()->getErrorMessage(status->getReturnValue()),
                        commandStatus);
            std::fflush(stdout);
        }
        return nullptr;
    }
    if (status != nullptr && status->getFState() == Canceled) {
        ORQ_LOG(*pLogger, DEBUG, "startup_RspCb - rpcReqStatus->getFState() == Canceled");
    }
    restResponse("startup_RspCb", sessionId, std::string(), nwkStatus, status);
    return nullptr;
}

void* RESTBroker::startup_NtfCb(unsigned char commandStatus, RPCReqStatus* status) {
    ORQ_LOG(*pLogger, DEBUG, "startup_NtfCb - commandStatus = 0x%x", commandStatus);
    const AgentError error = status != nullptr ? status->getReturnValue() : AGENT_SUCCESS;
    if (error == GW_STARTUP_FORMING_NETWORK_FAILED || error == GW_STARTUP_JOINING_NETWORK_FAILED) {
        clearWsnNodes("startup_NtfCb - Error in forming or joining a nwk - clear net/");
    } else if (error == AGENT_SUCCESS && pOrqDb->getStartModeSetting() != 1) {
        clearWsnNodes("startup_NtfCb - NVM not used -> clear net/");
    }
    char nwk[8];
    const char* nwkStatus = nullptr;
    if (commandStatus != 255) {
        std::snprintf(nwk, sizeof(nwk), "%d", commandStatus);
        nwkStatus = nwk;
    }
    oneShotEvent("startup_NtfCb", &listeners.startup, std::string(), status, nwkStatus, kDropped);
    return nullptr;
}

// --- /reset ---

int RESTBroker::startModeFromQuery(const char* query, bool log) {
    std::string mode;
    pQueryParser->getParameter("startMode", query, mode);
    if (mode == "0x00") {
        ORQ_LOG(*pLogger, DEBUG, "reset_Req - startMode = 0x00 - Commissioning/Association");
        return 0;
    }
    if (mode == "0x01") {
        ORQ_LOG(*pLogger, DEBUG, "reset_Req - startMode = 0x01 - NVM");
        return 1;
    }
    if (mode == "0x02") {
        ORQ_LOG(*pLogger, DEBUG, "reset_Req - startMode = 0x02 - Commissioning/SilentStart");
        return 2;
    }
    if (log) {
        ORQ_LOG(*pLogger, DEBUG, "reset_Req - startMode not present in %s! (Default=0x00)",
                query != nullptr ? query : "");
    }
    return 0;
}

void RESTBroker::clearLocalServices() {
    ORQ_LOG(*pLogger, DEBUG, "reset_Req - Delete all the endpoint resources!");
    Resource* local = pRESTServer->findResource(pRESTServer->getRoot(), "localnode");
    Resource* services = local != nullptr ? pRESTServer->findResource(local, "services") : nullptr;
    if (services != nullptr) {
        pRESTServer->clearResource(services);
    }
}

void RESTBroker::reset_Req(Resource* resource, const char*, Method method, const char* query,
                           std::string*, RESTSessionContext* session) {
    ORQ_LOG(*pLogger, DEBUG, "reset_Req");
    if (method != M_GET) {
        badMethod(resource, session);
    }
    const bool nonBlocking = isNonBlocking(kReset, session);
    clearAllListeners();
    if (nonBlocking) {
        addSessionListener(kReset.name, &listeners.resetCommand, session);
        return;
    }
    pOrqDb->setStartModeSetting(startModeFromQuery(query, true));
    clearLocalServices();
    LocalNodeT::ResetCommandCtxt ctx(session->getSessionId(), this, &RESTBroker::resetCommand_RspCb,
                                     nullptr);
    pLocalNode->resetRequest(ZB_RESET_OPT_RESET, &ctx);
}

void RESTBroker::resetCommandAttach(RBURIListenerList* list, const uriListener_t& listener,
                                    int sessionId, bool) {
    ORQ_LOG(*pLogger, DEBUG, "resetCommandAttach");
    const auto* info = dynamic_cast<const RESTCallbackInfo*>(listener.hback);
    ORQ_LOG(*pLogger, DEBUG, "resetCommandAttach - timeout value = %lu",
            info != nullptr ? info->timeout : 0UL);
    if (list->running.load()) {
        ORQ_LOG(*pLogger, WARN, "resetCommandAttach - ATTENTION: reset is already running!");
        list->running.store(false);
        return;
    }
    const char* query = info != nullptr && info->refRestSessionCtxt != nullptr
                            ? info->refRestSessionCtxt->getQueryStr()
                            : "";
    const bool restart = pQueryParser->isParameterPresent("restart", query);
    pOrqDb->setStartModeSetting(startModeFromQuery(query, true));
    clearLocalServices();
    LocalNodeT::ResetCommandCtxt ctx(sessionId, this, &RESTBroker::resetCommand_RspCb,
                                     &RESTBroker::resetCommand_NtfCb);
    const unsigned char mode = restart ? ZB_RESET_OPT_RESET | 1 : ZB_RESET_OPT_RESET;
    startOneShot(list, listener, [&] { return pLocalNode->resetRequest(mode, &ctx); });
}

void* RESTBroker::resetCommand_RspCb(int sessionId, RPCReqStatus* status) {
    ORQ_LOG(*pLogger, DEBUG, "resetCommand_RspCb");
    return respond("resetCommand_RspCb", sessionId, status, kLogDocument, true,
                   [&] { return pXMLMsgComposer->createGenericResponseMsg(); });
}

void* RESTBroker::resetCommand_NtfCb(unsigned char, RPCReqStatus* status) {
    ORQ_LOG(*pLogger, DEBUG, "resetCommand_NtfCb");
    oneShotEvent("resetCommand_NtfCb", &listeners.resetCommand, std::string(), status, nullptr,
                 kDropped);
    return nullptr;
}

// --- /version, /ib/00/00, /net/<id>/ib/<attribute> ---

void RESTBroker::version_Req(Resource* resource, const char*, Method method, const char*,
                             std::string*, RESTSessionContext* session) {
    ORQ_LOG(*pLogger, DEBUG, "version_Req");
    if (method != M_GET) {
        badMethod(resource, session);
    }
    answerKept(pRESTServer, keptVersion, 0, session,
               [this] { return pXMLMsgComposer->createVersionMsg(); });
}

void RESTBroker::manageGIBAttr_Req(Resource* resource, const char*, Method method, const char*,
                                   std::string* body, RESTSessionContext* session) {
    ORQ_LOG(*pLogger, DEBUG, "manageGIBAttr_Req");
    if (method == M_GET) {
        const int state = pOrqZb->getGWStatus();
        answerKept(pRESTServer, keptState, static_cast<unsigned long long>(state), session,
                   [this, state] {
                       return pXMLMsgComposer->createGetAttributeMsg(std::to_string(state).c_str());
                   });
        return;
    }
    if (method != M_PUT) {
        badMethod(resource, session);
    }
    std::string value;
    if (body == nullptr || pXMLMsgParser->getValueAttribute(&value, body) != 0) {
        throw RESTException(BAD_PARAMETER, "Bad XML message");
    }
    ORQ_LOG(*pLogger, DEBUG, "manageGIBAttr_Req - Value attribute extracted %s", value.c_str());
    pRESTServer->restError(METHOD_NOT_ALLOWED, "Not allowed", nullptr, session);
}

void RESTBroker::informationBase_Req(Resource* resource, const char* uri, Method method,
                                     const char*, std::string* body, RESTSessionContext* session) {
    const std::string path = uri != nullptr ? uri : "";
    ORQ_LOG(*pLogger, DEBUG, "informationBase_Req - ReqURI %s", path.c_str());
    if (method != M_GET && method != M_PUT) {
        badMethod(resource, session);
    }
    if (path.size() < 3 || path[path.size() - 3] != '/') {
        ORQ_LOG(*pLogger, INFO, "informationBase_Req - IB value wrong, check the size");
        throw RESTException(BAD_PARAMETER);
    }
    const std::string id = path.substr(path.size() - 2);
    ORQ_LOG(*pLogger, DEBUG, "informationBase_Req - attributeID 0x%s", id.c_str());
    long attribute = -1;
    if (!readNumber(id, 16, 0, 255, &attribute)) {
        attribute = -1;
    }
    ORQ_LOG(*pLogger, DEBUG, "informationBase_Req - attribute converted %ld", attribute);
    std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
    const int index = pOrqDb->getCurrentStartupAttributeSetIndex();
    ORQ_LOG(*pLogger, DEBUG, "informationBase_Req - SASindex %d", index);
    StartupAttributeInfo* set = pOrqDb->getStartupAttributeInfo(index);
    if (set == nullptr) {
        throw RESTException(GENERIC_REST_ERROR, "No startup attribute set");
    }
    if (method == M_GET) {
        char text[64];
        if (attribute == 0xC4) {
            const unsigned char* e = set->extendedPANId;
            std::snprintf(text, sizeof(text), "%02x %02x %02x %02x %02x %02x %02x %02x", e[0], e[1],
                          e[2], e[3], e[4], e[5], e[6], e[7]);
        } else if (attribute == 0xC3) {
            std::snprintf(text, sizeof(text), "%ld", static_cast<long>(set->channelMask));
        } else if (attribute == 0xC8) {
            std::snprintf(text, sizeof(text), "%s", set->UseInsecureJoin ? "00" : "01");
        } else {
            ORQ_LOG(*pLogger, INFO, "informationBase_Req - Not supported attribute");
            throw RESTException(BAD_PARAMETER, "Invalid value");
        }
        pRESTServer->restSuccess(pXMLMsgComposer->createGetAttributeMsg(text), session);
        return;
    }
    std::string value;
    if (body == nullptr || pXMLMsgParser->getValueAttribute(&value, body) != 0) {
        throw RESTException(BAD_PARAMETER, "Bad XML message");
    }
    ORQ_LOG(*pLogger, DEBUG, "informationBase_Req - Value attribute extracted %s", value.c_str());
    long number = 0;
    if (attribute == 0xC4) {
        unsigned char epid[8];
        if (!readExtendedPanId(value, epid)) {
            throw RESTException(BAD_PARAMETER, "Invalid value");
        }
        std::memcpy(set->extendedPANId, epid, sizeof(epid));
    } else if (attribute == 0xC8) {
        if (!readNumber(value, 16, 0, 0xFF, &number)) {
            throw RESTException(BAD_PARAMETER, "Invalid value");
        }
        set->UseInsecureJoin = number == 0;
    } else if (attribute == 0xC3) {
        if (!readNumber(value, 16, 0, 0x7FFFFFFF, &number)) {
            throw RESTException(BAD_PARAMETER, "Invalid value");
        }
        set->channelMask = static_cast<unsigned long>(number);
    } else {
        ORQ_LOG(*pLogger, INFO, "informationBase_Req - Not supported attribute");
        throw RESTException(WRONG_REQUEST);
    }
    pRESTServer->restSuccess(pXMLMsgComposer->setAttributeMsg(), session);
}

// --- /net/<id>/localnode/frequencyagility ---

void RESTBroker::frequencyAgility_Req(Resource* resource, const char*, Method method,
                                      const char* query, std::string*,
                                      RESTSessionContext* session) {
    if (method != M_GET) {
        badMethod(resource, session);
    }
    unsigned long mask = 0x7FFF800UL;
    long duration = 254;
    requireTimeout(kFrequencyAgility, session);
    std::string text;
    if (pQueryParser->getParameter("scanDuration", query, text)) {
        if (!readNumber(text, 10, 0, 255, &duration)) {
            throw RESTException(BAD_PARAMETER, "Invalid scanDuration");
        }
        ORQ_LOG(*pLogger, DEBUG, "frequencyAgility_Req - scanDuration value = 0x%02lx", duration);
    }
    if (pQueryParser->getParameter("scanChannel", query, text)) {
        long channel = -1;
        if (!readNumber(text, 10, 0, 26, &channel) || (channel != 0 && channel < 11)) {
            ORQ_LOG(*pLogger, ERROR, "frequencyAgility_Req - INVALID scanChannel: %s",
                    text.c_str());
            throw RESTException(BAD_PARAMETER, "Invalid scanChannel");
        }
        ORQ_LOG(*pLogger, DEBUG, "frequencyAgility_Req - scanChannel value = %ld", channel);
        if (channel != 0) {
            mask = 1UL << channel;
        }
    }
    if (session->callbackDestinationSet) {
        ORQ_LOG(*pLogger, WARN,
                "frequencyAgility_Req - ERROR: non-blocking procedure not implemented!");
        throw RESTException(WRONG_REQUEST);
    }
    if (pOrqZb->getGWStatus() != GW_RUNNING) {
        RPCReqStatus st(NotAvailable, -1, ORQ_NOT_RUNNING);
        restResponse("frequencyAgility_Req", session->getSessionId(), std::string(), nullptr, &st);
        return;
    }
    ORQ_LOG(*pLogger, DEBUG, "frequencyAgility_Req - blocking procedure");
    pOrqZb->ZDP_MGMT_NWK_UPDATE_request(mask, static_cast<unsigned short>(duration));
    pRESTServer->restSuccess(std::string(), session);
}

// --- .../permitjoin ---

void RESTBroker::ndPermitJoin_Req(Resource* resource, const char*, Method method, const char*,
                                  std::string* body, RESTSessionContext* session) {
    if (method != M_POST) {
        badMethod(resource, session);
    }
    ORQ_LOG(*pLogger, DEBUG, "ndPermitJoin_Req - timeoutSet = %d", session->cbinfo.timeoutSet);
    if (remoteProcedureQueued(kPermitJoin, session)) {
        return;
    }
    ManagementAgentT::permitJoinCtxt ctx(session->getSessionId(), this,
                                         &RESTBroker::ndPermitJoin_RspCb, nullptr);
    ORQ_LOG(*pLogger, DEBUG, "ndPermitJoin_Req - direct call");
    int duration = 0;
    bool significance = false;
    if (body == nullptr ||
        pXMLMsgParser->getJoiningInfoValues(&duration, &significance, body->c_str()) != 0) {
        throw RESTException(BAD_PARAMETER, "Wrong JoiningInfo values");
    }
    const auto target = static_cast<unsigned short>(resource->parent->data);
    ORQ_LOG(*pLogger, DEBUG, "wsnNodesList_Req - nwk addr %d (dec) - %x (hex)", target, target);
    pMngmtAgent->permitJoin(target, static_cast<unsigned short>(duration), significance,
                            agentTimeout(session->cbinfo), &ctx);
}

void RESTBroker::permitJoinAttach(RBURIListenerList* list, const uriListener_t& listener,
                                  int sessionId, bool) {
    ORQ_LOG(*pLogger, DEBUG, "permitJoinAttach");
    const auto* info = dynamic_cast<const RESTCallbackInfo*>(listener.hback);
    if (info == nullptr || info->refRestSessionCtxt == nullptr || info->refResource == nullptr) {
        return;
    }
    ORQ_LOG(*pLogger, DEBUG, "permitJoinAttach - timeout value = %lu ms", info->timeout);
    if (list->running.load()) {
        ORQ_LOG(*pLogger, INFO, "permitJoinAttach -> NOTE: overwriting a previous call!");
    }
    ManagementAgentT::permitJoinCtxt ctx(sessionId, this, &RESTBroker::ndPermitJoin_RspCb,
                                         &RESTBroker::ndPermitJoin_NtfCb);
    int duration = 0;
    bool significance = false;
    if (pXMLMsgParser->getJoiningInfoValues(&duration, &significance,
                                            info->refRestSessionCtxt->rxData()->c_str()) != 0) {
        throw RESTException(BAD_PARAMETER, "Wrong JoiningInfo values");
    }
    const auto target = static_cast<unsigned short>(info->refResource->parent->data);
    ORQ_LOG(*pLogger, DEBUG, "permitJoinAttach - nwk addr %d (dec) - %x (hex)", target, target);
    // Not startOneShot: a refused call leaves a running earlier one running.
    list->running.store(true);
    if (pMngmtAgent->permitJoin(target, static_cast<unsigned short>(duration), significance,
                                agentTimeout(*info), &ctx) != AGENT_SUCCESS) {
        list->removeListener(listener.id);
    }
}

void* RESTBroker::ndPermitJoin_RspCb(unsigned char, int sessionId, RPCReqStatus* status) {
    ORQ_LOG(*pLogger, DEBUG, "ndPermitJoin_RspCb");
    const bool failed = status != nullptr && status->getReturnValue() != AGENT_SUCCESS;
    if (status != nullptr && status->isReqAsynch()) {
        if (failed) {
            ORQ_LOG(*pLogger, INFO,
                    "ndPermitJoin_ResponseCb -> permitjoin request failed -> return error "
                    "response");
            endListWork(&listeners.permitJoin);
        } else {
            ORQ_LOG(*pLogger, DEBUG,
                    "ndPermitJoin_RspCb - asynch Request - notification will be sent later");
        }
    } else if (failed) {
        ORQ_LOG(*pLogger, INFO, "ndPermitJoin_RspCb - NOT SUCCESS!!");
    } else {
        ORQ_LOG(*pLogger, DEBUG, "ndPermitJoin_RspCb - AGENT_SUCCESS");
    }
    restResponse("ndPermitJoin_RspCb", sessionId, std::string(), nullptr, status);
    return nullptr;
}

void* RESTBroker::ndPermitJoin_NtfCb(unsigned char, RPCReqStatus* status) {
    ORQ_LOG(*pLogger, DEBUG, "ndPermitJoin_ResponseCb");
    oneShotEvent("ndPermitJoin_ResponseCb", &listeners.permitJoin, std::string(), status, nullptr,
                 kDropped);
    return nullptr;
}

// --- Gateway state ---

void* RESTBroker::gwDescriptorLocal_RspCb(int, RPCReqStatus*) {
    ORQ_LOG(*pLogger, DEBUG,
            "gwDescriptorLocal_RspCb - It was a local REST request (no HTTP request triggered "
            "the method invocation)");
    return nullptr;
}

void* RESTBroker::gwStatusChanged_gwDescriptor_NtfCb(GwDescriptor* descriptor,
                                                     RPCReqStatus* status) {
    ORQ_LOG(*pLogger, DEBUG,
            "gwStatusChanged_gwDescriptor_NtfCb - RPCReqStatus - fState = %d - fResult = %d - "
            "fReturnValue = %d",
            status != nullptr ? status->getFState() : 0,
            status != nullptr ? status->getFResult() : 0,
            status != nullptr ? status->getReturnValue() : 0);
    if (descriptor == nullptr || stopping.load() ||
        (status != nullptr && status->getReturnValue() != AGENT_SUCCESS)) {
        return nullptr;
    }
    if (descriptor->getGwState() == GW_RUNNING) {
        if (pDAgent != nullptr) {
            pDAgent->runKeepAliveAlgorithm();
        }
        // Whatever start brought the network up (a start request, a reset with restart, the
        // recovery's restart), the services it runs with are reachable in both trees again.
        onTreeThread([this] { restoreServiceFolders(); });
    }
    const std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" +
                            pXMLMsgComposer->createGwStatusChangedMsg(descriptor);
    ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_gwDescriptor_NtfCb - xmlNotification = %s",
            doc.c_str());
    restEvent_BC("gwStatusChanged_gwDescriptor_NtfCb", &listeners.gwStatus, doc, nullptr);
    int periodA = 30;
    int periodB = 150;
    {
        std::lock_guard<std::mutex> lock(mux);
        if (wsnCAddress.empty() || tasks.wsnc.taskStarted.load() || stopping.load()) {
            return nullptr;
        }
        ConfigurationRepository* config = ConfigurationRepository::instance();
        periodA = std::max(1, config->getint("RESTBroker:HelloMsgNotifyPeriod", 30));
        periodB = std::max(1, config->getint("RESTBroker:HelloMsg_WSNCAttached_NotifyPeriod", 150));
        if (tasks.wsnc.start(this, periodA, periodB, &RESTBroker::notifyGWDescriptorToWsnc_SW) !=
            0) {
            ORQ_LOG(*pLogger, ERROR,
                    "gwStatusChanged_gwDescriptor_NtfCb - Error - Periodic task (type = %d) start "
                    "failure",
                    0);
        }
    }
    return nullptr;
}
