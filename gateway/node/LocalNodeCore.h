#ifndef ORQ_LOCALNODECORE_H
#define ORQ_LOCALNODECORE_H

// LocalNodeCore: the local node, compiled once: the gateway itself as a ZigBee device. It
// opens the co-processor link, loads the default start-up attribute set and the trust-centre
// link-key table from the configuration, starts or restarts the network on request, resets
// the co-processor, keeps the gateway descriptor and tells every registered listener when
// the gateway state changes. Every operation replies through the ReplyPath it is given
// (null: nobody waits); LocalNode<T> builds those from its caller's RPCContext.
//
// Threads: start and reset requests come from the main thread; state events and reset
// confirms from the serial reader thread; the start and reset time-outs from the node's
// pool; start() runs on the startZNP task thread or on the caller's, never with `mux` held.
// `mux` guards both procedure contexts, the listener list, the restart hook and the last
// failure. No answer or notification is given with `mux` held: it is taken (and the stored
// request forgotten) under it and given after it is released, so a listener may call back
// into the node, and the broker's own locks never invert with this one.

#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "AgentOperation.h"
#include "Agents.h"
#include "GWManagement.h"
#include "OrqZbIf.h"

// Exit statuses of the local node (documented in docs/node.md).
constexpr int EXIT_LINK_FAILURE = 1;
constexpr int EXIT_INVALID_CONFIG_CHANNEL = 7;
constexpr int EXIT_INVALID_KEY_TABLE = 9;

// The channel key's value as a mask: 0 gives channels 11..26, 11..26 that channel alone.
// False for any other value.
bool channelToMask(int channel, unsigned long* mask);

// The built-in key used for the network key and the pre-configured link key when the
// configuration gives none, as a hex list.
extern const char* const kDefaultKeyHexList;

// Reads the DefaultStartupAttributeSet section into `set` (index 0). Returns false when the
// channel key is invalid (after its log line). `log` may be null.
bool readDefaultStartupAttributeSet(ConfigurationRepository* config, Debug* log,
                                    StartupAttributeInfo* set);
// Reads the TCKeyTable section into the database (size and entries 0..size-1). False, after
// an error line naming the key and the limit, when the size exceeds the co-processor's table.
bool readTCKeyTable(ConfigurationRepository* config, Debug* log, ZbNetDb* db);

class LocalNodeCore : protected AgentEnvironment {
  public:
    // The start: answered (command status, session) or notified (command status).
    using StartResponse = void*(unsigned char, int, RPCReqStatus*);
    using StartNotice = void*(unsigned char, RPCReqStatus*);
    // The reset: answered (session) or notified (confirm status).
    using ResetResponse = void*(int, RPCReqStatus*);
    using ResetNotice = void*(unsigned char, RPCReqStatus*);
    using StatusNotice = void*(GwDescriptor*, RPCReqStatus*);

    using StartPath = ReplyPath<StartResponse, StartNotice>;
    using ResetPath = ReplyPath<ResetResponse, ResetNotice>;
    // A listener of the gateway state.
    using StatusPath = ReplyPath<NoCb, StatusNotice>;
    // Answered once (session, status): the listener registration, the attribute sets.
    using AnswerPath = ReplyPath<ResetResponse>;

    // How long a reset request waits for the co-processor's confirm.
    static constexpr int RESET_TIMEOUT_SECONDS = 5;

    // `adapter` and `config` null: the process-wide ones; `clock` null: the steady clock.
    explicit LocalNodeCore(OrqZbIf* adapter = nullptr, ConfigurationRepository* config = nullptr,
                           TimerClock* clock = nullptr);
    ~LocalNodeCore();

    // Main thread, once, before the broker exists. Ends the process when the configured
    // channel is invalid or the device link cannot be opened.
    void init(const char* device);

    void setWSNId(const char* id) { gwDescriptor.setWSNId(id != nullptr ? id : ""); }
    GwDescriptor* getGwDescriptor() { return &gwDescriptor; }
    OrqZbIf* getOrqZbIf() { return pOrqZb; }
    ZbNetDb* getNetDb() { return pOrqDb; }

    int startGatewayDevice(unsigned long timeout, StartupAttributeInfo* set, const StartPath* ctx);
    // The actual (re)start; returns the gateway state. Never called with `mux` held: the
    // state events it causes tell the listeners.
    int start();
    // Closes the device link (state 0).
    void stop();
    int resetRequest(unsigned char mode, const ResetPath* ctx);
    // Adds `listener` to the gateway-state listeners, then answers `rsp`.
    int createCallback(const StatusPath* listener, const AnswerPath* rsp);

    StartupAttributeInfo* readStartupAttributeSet(int index) {
        return pOrqDb->getStartupAttributeInfo(index);
    }
    // Stores `set` as the set in use (index 1); nobody is answered.
    int configureStartupAttributeSet(int index, StartupAttributeInfo* set, const AnswerPath* ctx);
    int readStartupAttributeSet(int index, const AnswerPath* ctx);
    void set_securityLevel(int level) { pOrqZb->set_securityLevel(level); }

    // The gateway-state event (reader thread, or the thread that changed the state). The
    // stored start request is answered and forgotten first, then the listeners are told; both
    // without `mux`, so a listener may start the gateway again.
    void gwStatusChanged_Event_Cb(int state, int errorCode, unsigned char commandStatus);
    // The start time-out (pool thread). Later state events still update the descriptor and
    // the listeners; only the request is answered here.
    void onStartGatewayDevice();
    // The reset confirm of a reset request (reader thread, or the requesting thread when
    // the reset bit was not set).
    void resetCommandNotify_Cb(unsigned char status);
    // The reset time-out (pool thread): the confirm never came. The request is answered
    // with TIMER_EXPIRED and a new reset is accepted.
    void onResetCommand();

    // Called by start() when the network database is emptied (the discovery agent re-reads
    // its settings and forgets its dead nodes there).
    void setRestartHook(std::function<void()> hook);
    // How the process is ended on fatal start-up errors (tests replace it).
    void setExitHandler(std::function<void(int)> fn) { exitProcess = std::move(fn); }
    // The options of the last reset request sent by resetRequest (tests, diagnostics).
    unsigned char getLastResetOptions() const { return lastResetOptions.load(); }
    bool isStartTaskRunning() const { return taskStarted.load(); }
    int getStartTimeoutSeconds();

  private:
    using StartCtx = ProcedureContext<StartPath, LocalNodeCore>;
    using ResetCtx = ProcedureContext<ResetPath, LocalNodeCore>;

    struct fContexts {
        StartCtx startGatewayDevice;
        ResetCtx resetCommand;
        explicit fContexts(FeatureControl* fc)
            : startGatewayDevice(fc, FEATURE_LOCALNODE), resetCommand(fc, FEATURE_LOCALNODE) {}
    };

    // One answer to the stored start request: taken (and the request forgotten) under `mux`,
    // given after it is released.
    struct StartAnswer {
        StartPath ctx;
        unsigned char commandStatus = 255;
        std::optional<RPCReqStatus> notifyStatus;   // given when the request has a notification
        std::optional<RPCReqStatus> respondStatus;  // else through its response
        void give();
    };

    // Under mux: the stored start request's answer (`error`, with the context's own state and
    // result for a notification, `state` and `result` for a response); the request is
    // forgotten, so it is answered once whatever comes later.
    StartAnswer takeStartAnswer(unsigned char commandStatus, AgentError error, fState_t state,
                                int result);
    // What a start that ended in state 4 with `errorCode` answers: the formation and joining
    // failures their own errors, anything else (the link lost, a refused configuration) the
    // generic AGENT_ERROR.
    AgentError startFailure(int errorCode);
    // Under mux: the running reset request ends failed (timer removed, confirm listener gone)
    // and its reply path is taken, so that it is answered once; nothing when none runs.
    std::optional<ResetPath> takeResetCommand();
    // Without mux: a reset request that got no confirm is answered with `error`.
    static void answerResetCommand(const ResetPath& ctx, AgentError error);
    // Under mux: the reset mode bits of the configured start mode.
    int startModeResetBits();
    bool loadDefaultStartAttributeSet();
    void initZNP();
    void storeSet(StartupAttributeInfo* set);
    // Under mux. A new request replaces the timer of an earlier one.
    bool armStartTimer(unsigned long timeout);
    // Starts the startZNP task unless it runs; false when it does.
    bool startTask();
    void joinStartTask();

    GwDescriptor gwDescriptor;
    std::string localDevice;
    std::recursive_mutex mux;
    fContexts functionsContext;
    std::list<StatusPath> gwStatusChanged;
    ZbStateChangeListener statusListener;
    ZbZdpResponseListener resetListener;
    std::function<void()> restartHook;
    std::function<void(int)> exitProcess;
    std::atomic<unsigned char> lastResetOptions{0};
    int lastFailure = GW_NO_ERROR;  // under mux: the error of the last failed start
    std::atomic<bool> taskStarted{false};
    std::thread startThread;
};

#endif
