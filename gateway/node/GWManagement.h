#ifndef ORQ_GWMANAGEMENT_H
#define ORQ_GWMANAGEMENT_H

// The gateway's state and error texts, the agent error texts with their REST error codes,
// and the gateway descriptor that the REST side reports.

#include <mutex>
#include <string>

#include "Agents.h"

class Debug;

// Gateway states (the adapter sets them, Part of the start-up sequence).
enum GwState {
    GW_STOPPED = 0,
    GW_ZNP_INITIALIZED = 1,
    GW_STARTING = 2,
    GW_RUNNING = 3,
    GW_ERROR = 4,
};

// Gateway error codes. 10, 11 and 500 are raised by the adapter and have no text.
enum GwErrorCode {
    GW_NO_ERROR = 0,
    GW_GENERIC_ERROR = 1,
    GW_UNKNOWN_ERROR = 2,
    GW_UNKNOWN_STATE = 3,
    GW_ZNP_INITIALIZATION_FAILED = 4,
    GW_ORQ_NOT_RUNNING = 5,
    GW_JOINING_FAILED = 10,
    GW_FORMING_FAILED = 11,
    GW_NETWORK_DOWN = 500,
    // Raised by the module supervisor (docs/recovery.md) before it restarts the module.
    GW_MODULE_NOT_ANSWERING = 501,
    GW_MODULE_RESET_BY_ITSELF = 502,
};

// REST error codes given for agent errors (the REST layer's RESTError values).
enum {
    REST_NO_ERROR = 0,
    REST_METHOD_NOT_ALLOWED = 1,
    REST_GENERIC_REST_ERROR = 4,
    REST_TIMEOUT = 10,
    REST_ZB_NWK_FAILURE = 12,
};

// State and error texts. A process-wide constant table: safe from any thread.
class GWManagementMessages {
  public:
    static GWManagementMessages* Instance();
    // The state's text; a state without one is described by the error text 3.
    std::string getStateDescMessage(int state) const;
    // The error's text; an unknown code is described by the error text 2.
    std::string getErrorMessage(int errorId) const;
    // The error's text, or null when the code has none (nothing is logged).
    const char* findErrorMessage(int errorId) const;

  private:
    GWManagementMessages();
    Debug* pLogger;
};

// Agent error texts and REST codes, indexed by AgentError. Constant; any thread.
class AgentErrorMessages {
  public:
    static AgentErrorMessages* Instance();
    // Values outside the table are described as UNKNOWN_AGENT_ERROR.
    const char* getErrorMessage(AgentError error) const;
    int getRESTError(AgentError error) const;

  private:
    AgentErrorMessages() = default;
};

// The gateway descriptor: network id, state, error, firmware version and the time stamp of
// the last state change. Written on the reader thread (state events) and the main thread
// (WSN id), read by the broker on any thread: every accessor takes the descriptor's mutex
// and returns copies; a copy of the whole descriptor is one consistent snapshot.
class GwDescriptor {
  public:
    GwDescriptor();
    ~GwDescriptor();
    GwDescriptor(const GwDescriptor& other);
    GwDescriptor& operator=(const GwDescriptor& other);

    // Stores the state, its text and a new time stamp.
    void setGwState(int state);
    // Both at once, so that a reader (which takes a copy) never sees the new state with the
    // old error.
    void setGwState(int state, int code);
    // Stores the code and its text (no time stamp).
    void setErrorCode(int code);
    void setWSNId(const std::string& id);
    std::string getWSNId() const;
    int getGwState() const;
    std::string getGwStateDescription() const;
    int getErrorCode() const;
    std::string getErrorCodeDescription() const;
    std::string getFirmwareVersion() const;
    std::string getTimeStamp() const;
    void setTimeStamp(const std::string& stamp);

    // "%04d-%02d-%02dT%02d:%02d:%02d+01:00" of the local time `t` (the suffix is fixed).
    static std::string formatTimeStamp(time_t t);

  private:
    mutable std::mutex mux;
    std::string wsnId;
    int gwState = 0;
    std::string gwStateDesc;
    int errorCode = 0;
    std::string errorCodeDesc;
    std::string firmwareVersion = "5.3.15";
    std::string timeStamp;
    GWManagementMessages* pGWManagementMsgs;
};

#endif
