#ifndef ORQ_TESTS_SUPPORT_RECORDINGHANDLER_H
#define ORQ_TESTS_SUPPORT_RECORDINGHANDLER_H

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/CallLog.h"

#include "Agents.h"
#include "GWManagement.h"

// Stands where the REST broker stands: the local node's response and notification
// operations, each recording what it was given.
struct RecordingHandler {
    struct Call {
        std::string op;
        int commandStatus;
        int session;
        fState_t state;
        int result;
        AgentError error;
        bool asynch;
        int gwState;
    };

    void record(const char* op, int commandStatus, int session, RPCReqStatus* st,
                int gwState = -1) {
        std::lock_guard<std::mutex> lock(m);
        calls.push_back(Call{op, commandStatus, session, st->getFState(), st->getFResult(),
                             st->getReturnValue(), st->isReqAsynch(), gwState});
    }
    void* startup_RspCb(unsigned char commandStatus, int session, RPCReqStatus* st) {
        record("startup_RspCb", commandStatus, session, st);
        return nullptr;
    }
    void* startup_NtfCb(unsigned char commandStatus, RPCReqStatus* st) {
        record("startup_NtfCb", commandStatus, -2, st);
        return nullptr;
    }
    void* resetCommand_RspCb(int session, RPCReqStatus* st) {
        record("resetCommand_RspCb", -1, session, st);
        return nullptr;
    }
    void* resetCommand_NtfCb(unsigned char commandStatus, RPCReqStatus* st) {
        record("resetCommand_NtfCb", commandStatus, -2, st);
        return nullptr;
    }
    void* gwDescriptorLocal_RspCb(int session, RPCReqStatus* st) {
        record("gwDescriptorLocal_RspCb", -1, session, st);
        return nullptr;
    }
    void* gwStatusChanged_gwDescriptor_NtfCb(GwDescriptor* d, RPCReqStatus* st) {
        record("gwStatusChanged_gwDescriptor_NtfCb", -1, -2, st, d->getGwState());
        if (onStatus) {
            onStatus(d->getGwState());
        }
        return nullptr;
    }

    std::vector<Call> named(const std::string& op) { return callsNamed(m, calls, op); }
    size_t count(const std::string& op) { return named(op).size(); }

    std::mutex m;
    std::vector<Call> calls;
    // Called with each state a gateway-state listener is told (set before the node runs).
    std::function<void(int state)> onStatus;
};

#endif
