#include "LocalNodeCore.h"

#include <cstdio>
#include <cstdlib>

#include "CDebug.h"
#include "ConfigurationRepository.h"
#include "ZbNetDb.h"

LocalNodeCore::LocalNodeCore(OrqZbIf* adapter, ConfigurationRepository* config, TimerClock* clock)
    : AgentEnvironment(adapter, config, "LocalNode", "Debug:LocalNodeDL", clock),
      functionsContext(pOrqZb->getFeatureControl()),
      statusListener([this](const ZbStateChange& change) {
          gwStatusChanged_Event_Cb(change.status, change.error, change.extra);
      }),
      resetListener([this](const ZbZdpResponse& r) { resetCommandNotify_Cb(r.status); }),
      exitProcess([](int status) {
          std::fflush(stdout);
          std::exit(status);
      }) {
    ORQ_LOG(*pLogger, DEBUG, "LocalNode - Constructor");
}

LocalNodeCore::~LocalNodeCore() {
    ORQ_LOG(*pLogger, DEBUG, "LocalNode - Destructor");
    pOrqZb->unregisterListener(ZB_EV_GW_STATUS_CHANGED, &statusListener);
    pOrqZb->unregisterListener(ZB_EV_ZDO_RESET_CONFIRM, &resetListener);
    joinStartTask();
    ORQ_LOG(*pLogger, DEBUG, "LocalNode - Killing timerThread...");
    ORQ_LOG(*pLogger, DEBUG, "LocalNode - Killing threadPool...");
    stopTimers();
}

void LocalNodeCore::init(const char* device) {
    readDebugSettings();
    localDevice = device != nullptr ? device : "";
    pOrqZb->init();
    pOrqZb->registerListener(ZB_EV_GW_STATUS_CHANGED, &statusListener);
    if (!loadDefaultStartAttributeSet()) {
        exitProcess(EXIT_INVALID_CONFIG_CHANNEL);
        return;
    }
    if (!readTCKeyTable(config, pLogger, pOrqDb)) {
        exitProcess(EXIT_INVALID_KEY_TABLE);
        return;
    }
    pOrqZb->LoadConfig(config->filename().c_str());
    gwDescriptor.setGwState(pOrqZb->getGWStatus(), 0);
    initZNP();
}

int LocalNodeCore::startGatewayDevice(unsigned long timeout, StartupAttributeInfo* set,
                                      const StartPath* ctx) {
    const bool shortTimeout = timeout >= 1 && timeout <= 999;
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    // The caller's immediate answer and the start itself happen after `mux` is released.
    std::optional<RPCReqStatus> reply;
    int result = AGENT_SUCCESS;
    bool startHere = false;
    {
        std::lock_guard<std::recursive_mutex> lock(mux);
        auto& sc = functionsContext.startGatewayDevice;
        sc.result = 0;
        const int state = pOrqZb->getGWStatus();
        if (pOrqZb->isLinkLost()) {
            ORQ_LOG(*pLogger, ERROR, "startGatewayDevice - the ZigBee device link is lost");
            reply.emplace(NotAvailable, -1, AGENT_ERROR);
            result = AGENT_ERROR;
        } else if (state == GW_ZNP_INITIALIZED || state == GW_RUNNING || state == GW_ERROR) {
            if (state == GW_ZNP_INITIALIZED) {
                ORQ_LOG(*pLogger, INFO, "startup - current GW Status = %d -> call start", state);
            } else if (state == GW_RUNNING) {
                ORQ_LOG(*pLogger, INFO, "startup - GW Status = %d -> call restart", state);
            } else {
                ORQ_LOG(*pLogger, INFO, "startup - GW Status = %d -> try to restart", state);
            }
            storeSet(set);
            const bool armed = armStartTimer(timeout);
            if (!armed && state != GW_ZNP_INITIALIZED) {
                reply.emplace(NotAvailable, -1, TIMER_ERROR);
                result = TIMER_ERROR;
            } else {
                sc.rpcContext = ctx != nullptr ? *ctx : StartPath();
                if (sc.rpcContext.hasNotify()) {
                    reply.emplace(End, 0, AGENT_SUCCESS, true);
                }
                if (!armed) {
                    result = TIMER_ERROR;  // answered (when asynchronous), nothing started
                } else if (!shortTimeout && state == GW_ZNP_INITIALIZED) {
                    if (!startTask()) {
                        ORQ_LOG(*pLogger, WARN,
                                "startGatewayDevice - startZNP task already running");
                    }
                } else if (!shortTimeout) {
                    startHere = true;
                }
            }
        } else if (state == GW_STARTING) {
            reply.emplace(End, 1, GW_STARTUP_ALREADY_CALLED);
            result = GW_STARTUP_ALREADY_CALLED;
        } else {
            ORQ_LOG(*pLogger, ERROR, " - gwStatus value = %d unknown", state);
            reply.emplace(End, 1, INVALID_GW_STATUS);
            result = INVALID_GW_STATUS;
        }
    }
    if (reply && ctx != nullptr) {
        ctx->respond(static_cast<unsigned char>(255), session, &*reply);
    }
    if (startHere) {
        start();
    }
    return result;
}

int LocalNodeCore::start() {
    int index = pOrqDb->getCurrentStartupAttributeSetIndex();
    ORQ_LOG(*pLogger, DEBUG, "start - currentSASIndex = %d", index);
    StartupAttributeInfo* sai = pOrqDb->getStartupAttributeInfo(index);
    if (sai == nullptr) {
        ORQ_LOG(*pLogger, ERROR, "start - sai = NULL");
    } else {
        ORQ_LOG(*pLogger, DEBUG, "start - securityLevel = %d", sai->_securityLevel);
    }
    if (pOrqDb->getStartModeSetting() != 1) {
        ORQ_LOG(*pLogger, DEBUG, "start - NVMSetting is not used");
        if (!pOrqDb->keepsNodesAcrossStarts()) {
            pOrqDb->clearAllButRoot();
        }
        std::function<void()> hook;
        {
            std::lock_guard<std::recursive_mutex> lock(mux);
            hook = restartHook;
        }
        if (hook) {
            hook();
        }
    }
    pOrqZb->Start();
    return pOrqZb->getGWStatus();
}

void LocalNodeCore::stop() {
    std::puts("LocalNode<T>::stop");
    std::fflush(stdout);
    pOrqZb->ZbIfDisconnect_W();
}

int LocalNodeCore::resetRequest(unsigned char mode, const ResetPath* ctx) {
    const int session = ctx != nullptr ? ctx->getSessionId() : -1;
    unsigned char options = mode;
    std::optional<RPCReqStatus> reply;
    int result = AGENT_SUCCESS;
    {
        std::lock_guard<std::recursive_mutex> lock(mux);
        auto& rc = functionsContext.resetCommand;
        if (pOrqZb->isLinkLost()) {
            ORQ_LOG(*pLogger, ERROR, "resetRequest - the ZigBee device link is lost");
            reply.emplace(NotAvailable, -1, AGENT_ERROR);
            result = AGENT_ERROR;
        } else if (!rc.lock()) {
            ORQ_LOG(*pLogger, WARN, "resetRequest - A reset is already running");
            reply.emplace(NotAvailable, 0, AGENT_BUSY);
            result = AGENT_BUSY;
        } else {
            rc.fTimeout = RESET_TIMEOUT_SECONDS;
            if (!rc.setTimer(&timerThread, this, &LocalNodeCore::onResetCommand)) {
                rc.unlock(Canceled);
                reply.emplace(NotAvailable, -1, TIMER_ERROR);
                result = TIMER_ERROR;
            } else {
                rc.result = 0;
                options = static_cast<unsigned char>(options + startModeResetBits());
                pOrqZb->registerListener(ZB_EV_ZDO_RESET_CONFIRM, &resetListener);
                rc.rpcContext = ctx != nullptr ? *ctx : ResetPath();
                if (rc.rpcContext.hasNotify()) {
                    reply.emplace(Running, 0, AGENT_SUCCESS);
                }
            }
        }
    }
    // Answered before the request goes out: a reset without the reset bit is confirmed
    // at once, inside the request.
    if (reply && ctx != nullptr) {
        ctx->respond(session, &*reply);
    }
    if (result == AGENT_SUCCESS) {
        lastResetOptions = options;
        pOrqZb->ZDO_RESET_request(options);
    }
    return result;
}

int LocalNodeCore::createCallback(const StatusPath* listener, const AnswerPath* rsp) {
    if (listener != nullptr) {
        std::lock_guard<std::recursive_mutex> lock(mux);
        gwStatusChanged.push_back(*listener);
    }
    if (rsp != nullptr) {
        RPCReqStatus st(End, 0, AGENT_SUCCESS);
        rsp->respond(rsp->getSessionId(), &st);
    }
    return 0;
}

int LocalNodeCore::configureStartupAttributeSet(int index, StartupAttributeInfo* set,
                                                const AnswerPath* ctx) {
    (void)ctx;
    if (set != nullptr) {
        StartupAttributeInfo copy = *set;
        copy.startupAttributeSetIndex = index;
        pOrqDb->setStartupAttributeInfo(1, &copy);
    }
    return 0;
}

int LocalNodeCore::readStartupAttributeSet(int index, const AnswerPath* ctx) {
    (void)index;
    (void)ctx;
    return 0;
}

void LocalNodeCore::gwStatusChanged_Event_Cb(int state, int errorCode,
                                             unsigned char commandStatus) {
    if (state == GW_ERROR && errorCode == GW_ZNP_INITIALIZATION_FAILED) {
        ORQ_LOG(*pLogger, ERROR, "gwStatusChanged_Event_Cb - GW_ZNP_INITIALIZATION_FAILED");
        std::fflush(stdout);
        std::fprintf(stderr,
                     "ERROR: cannot open the ZigBee device \"%s\" (%s) - exit\n"
                     "A device URL has the form zigbee://<device>?dongle=freescale, for "
                     "example zigbee:///dev/ttyUSB0?dongle=freescale (\"freescale\" is the "
                     "one supported back-end)\n",
                     localDevice.c_str(), pOrqZb->getConnectFailure().c_str());
        exitProcess(EXIT_LINK_FAILURE);
        return;
    }
    if (state == GW_ERROR && errorCode == GW_NETWORK_DOWN) {
        start();
        return;
    }
    StartAnswer answer;
    std::optional<ResetPath> resetAnswer;
    std::list<StatusPath> listeners;
    bool unchanged = false;
    {
        std::lock_guard<std::recursive_mutex> lock(mux);
        // A failure stays visible (through the reset that follows it) until the next
        // successful start.
        if (state == GW_RUNNING) {
            lastFailure = GW_NO_ERROR;
        } else if (state == GW_ERROR) {
            lastFailure = errorCode;
        }
        const int shownError = errorCode != GW_NO_ERROR ? errorCode : lastFailure;
        // One change, one notification: a start reports "starting" twice (request and
        // reset confirm), and a listener hears it once.
        unchanged = gwDescriptor.getGwState() == state && gwDescriptor.getErrorCode() == shownError;
        gwDescriptor.setGwState(state, shownError);
        if (state == GW_RUNNING) {
            answer = takeStartAnswer(commandStatus, AGENT_SUCCESS, Running, 0);
        } else if (state == GW_ERROR) {
            functionsContext.startGatewayDevice.fstate = Canceled;
            answer = takeStartAnswer(commandStatus, startFailure(errorCode), Canceled, 1);
            // The module went away: a reset waiting for its confirm will not get it.
            resetAnswer = takeResetCommand();
        }
        if (!unchanged) {
            listeners = gwStatusChanged;
        }
    }
    answer.give();
    if (resetAnswer) {
        ORQ_LOG(*pLogger, WARN, "gwStatusChanged_Event_Cb - resetCommand ended (state 4)");
        answerResetCommand(*resetAnswer, AGENT_ERROR);
    }
    if (unchanged) {
        ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - state %d unchanged", state);
    } else if (listeners.empty()) {
        ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - Map Listeners empty");
    }
    for (auto& l : listeners) {
        RPCReqStatus st(Running, 0, AGENT_SUCCESS);
        l.notify(&gwDescriptor, &st);
    }
}

void LocalNodeCore::onStartGatewayDevice() {
    StartAnswer answer;
    {
        std::lock_guard<std::recursive_mutex> lock(mux);
        auto& sc = functionsContext.startGatewayDevice;
        if (!sc.isExpiryCurrent()) {
            return;  // the start ended, or a newer request re-armed the timer
        }
        ORQ_LOG(*pLogger, WARN, "onTimer - startGatewayDevice canceled (timeout expired)");
        sc.resetTimerEnv();
        sc.result = 1;
        answer = takeStartAnswer(255, TIMER_EXPIRED, sc.fstate, sc.result);
    }
    answer.give();
}

void LocalNodeCore::resetCommandNotify_Cb(unsigned char status) {
    ResetPath ctx;
    std::optional<RPCReqStatus> st;
    {
        std::lock_guard<std::recursive_mutex> lock(mux);
        auto& rc = functionsContext.resetCommand;
        pOrqZb->unregisterListener(ZB_EV_ZDO_RESET_CONFIRM, &resetListener);
        if (!rc.unlock(End)) {
            return;  // not the confirm of a reset request
        }
        rc.killTimer();
        ctx = rc.rpcContext;
        rc.rpcContext = ResetPath();
        if (ctx.hasNotify()) {
            st.emplace(Idle, 0, AGENT_SUCCESS);
        } else {
            st.emplace(rc, AGENT_SUCCESS);
        }
    }
    if (ctx.hasNotify()) {
        ORQ_LOG(*pLogger, DEBUG,
                "resetCommandNotify_Cb - Procedure completed send asynch notification");
        ctx.notify(status, &*st);
    } else {
        ORQ_LOG(*pLogger, DEBUG, "resetCommandNotify_Cb - Procedure completed send synch response");
        ctx.respond(ctx.getSessionId(), &*st);
    }
}

void LocalNodeCore::onResetCommand() {
    std::optional<ResetPath> ctx;
    {
        std::lock_guard<std::recursive_mutex> lock(mux);
        if (!functionsContext.resetCommand.isExpiryCurrent()) {
            return;
        }
        ORQ_LOG(*pLogger, WARN, "onTimer - resetCommand canceled (timeout expired)");
        std::fprintf(stderr, "ERROR: the co-processor did not confirm the reset within %d s\n",
                     RESET_TIMEOUT_SECONDS);
        functionsContext.resetCommand.resetTimerEnv();
        ctx = takeResetCommand();
    }
    if (ctx) {
        answerResetCommand(*ctx, TIMER_EXPIRED);
    }
}

void LocalNodeCore::setRestartHook(std::function<void()> hook) {
    std::lock_guard<std::recursive_mutex> lock(mux);
    restartHook = std::move(hook);
}

int LocalNodeCore::getStartTimeoutSeconds() {
    std::lock_guard<std::recursive_mutex> lock(mux);
    return functionsContext.startGatewayDevice.timerData
               ? functionsContext.startGatewayDevice.fTimeout
               : 0;
}

void LocalNodeCore::StartAnswer::give() {
    if (notifyStatus && ctx.notify(commandStatus, &*notifyStatus)) {
        return;
    }
    if (respondStatus) {
        ctx.respond(commandStatus, ctx.getSessionId(), &*respondStatus);
    }
}

LocalNodeCore::StartAnswer LocalNodeCore::takeStartAnswer(unsigned char commandStatus,
                                                          AgentError error, fState_t state,
                                                          int result) {
    auto& sc = functionsContext.startGatewayDevice;
    if (sc.killTimer() == 0) {
        ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - Timer removed");
    }
    StartAnswer a;
    a.ctx = sc.rpcContext;
    a.commandStatus = commandStatus;
    if (!a.ctx.hasNotify() && !a.ctx.hasResponse()) {
        ORQ_LOG(*pLogger, DEBUG, "gwStatusChanged_Event_Cb - getRPCResponseCb() == NULL");
    }
    a.notifyStatus.emplace(sc, error);
    a.respondStatus.emplace(state, result, error);
    sc.rpcContext = StartPath();
    return a;
}

AgentError LocalNodeCore::startFailure(int errorCode) {
    if (errorCode == GW_FORMING_FAILED) {
        return GW_STARTUP_FORMING_NETWORK_FAILED;
    }
    if (errorCode == GW_JOINING_FAILED) {
        return GW_STARTUP_JOINING_NETWORK_FAILED;
    }
    ORQ_LOG(*pLogger, WARN, "gwStatusChanged_Event_Cb - errorCode = %d - start failed", errorCode);
    return AGENT_ERROR;
}

std::optional<LocalNodeCore::ResetPath> LocalNodeCore::takeResetCommand() {
    auto& rc = functionsContext.resetCommand;
    if (!rc.isLocked()) {
        return std::nullopt;
    }
    rc.killTimer();
    pOrqZb->unregisterListener(ZB_EV_ZDO_RESET_CONFIRM, &resetListener);
    rc.unlock(Canceled);
    rc.result = 1;
    ResetPath ctx = rc.rpcContext;
    rc.rpcContext = ResetPath();
    return ctx;
}

void LocalNodeCore::answerResetCommand(const ResetPath& ctx, AgentError error) {
    RPCReqStatus st(Canceled, 1, error, ctx.hasNotify());
    if (!ctx.notify(static_cast<unsigned char>(255), &st)) {
        ctx.respond(ctx.getSessionId(), &st);
    }
}

int LocalNodeCore::startModeResetBits() {
    switch (pOrqDb->getStartModeSetting()) {
        case 0:
            return 2;
        case 1:
            return 16;
        case 2:
            return 18;
        default:
            return 0;
    }
}

bool LocalNodeCore::loadDefaultStartAttributeSet() {
    StartupAttributeInfo set;
    if (!readDefaultStartupAttributeSet(config, pLogger, &set)) {
        return false;
    }
    pOrqDb->setStartupAttributeInfo(0, &set);
    return true;
}

void LocalNodeCore::initZNP() {
    pOrqZb->ZbIfConnect_W(localDevice.c_str());
    if (pOrqZb->getGWStatus() == GW_ZNP_INITIALIZED) {
        ORQ_LOG(*pLogger, INFO, "start - ZNP serial initialization completed");
    } else {
        ORQ_LOG(*pLogger, ERROR, "start - ERROR: ZNP serial initialization failed");
    }
}

void LocalNodeCore::storeSet(StartupAttributeInfo* set) {
    if (set != nullptr) {
        pOrqDb->setStartupAttributeInfo(1, set);
    }
}

bool LocalNodeCore::armStartTimer(unsigned long timeout) {
    auto& sc = functionsContext.startGatewayDevice;
    sc.killTimer();
    int seconds = 0;
    if (!timeoutToSeconds(timeout, &seconds)) {
        ORQ_LOG(*pLogger, DEBUG, "startGatewayDevice - timer disabled");
        return true;
    }
    sc.fTimeout = seconds;
    return sc.setTimer(&timerThread, this, &LocalNodeCore::onStartGatewayDevice);
}

bool LocalNodeCore::startTask() {
    if (taskStarted.exchange(true)) {
        return false;
    }
    if (startThread.joinable()) {
        startThread.join();  // the previous run has ended
    }
    startThread = std::thread([this] {
        start();
        taskStarted.store(false);
    });
    return true;
}

void LocalNodeCore::joinStartTask() {
    if (startThread.joinable()) {
        startThread.join();
    }
}
