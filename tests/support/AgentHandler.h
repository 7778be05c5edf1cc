#ifndef ORQ_TESTS_SUPPORT_AGENTHANDLER_H
#define ORQ_TESTS_SUPPORT_AGENTHANDLER_H

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "support/CallLog.h"

#include "Agents.h"
#include "GWManagement.h"
#include "ZbNetDb.h"

// Stands where the REST broker stands for the discovery and management agents: every
// response and notification operation records what it was given (a node by its address,
// a descriptor by copy), with the moment it arrived.
struct AgentHandler {
    struct Call {
        std::string op;
        int nwk;  // the node or address given, -1 for none
        int session;
        fState_t state;
        int result;
        AgentError error;
        bool asynch;
        int value;  // a ZigBee status, or the database's node count
        NodeDescriptor nodeDesc;
        PowerDescriptor powerDesc;
        bool hasDesc;
        std::chrono::steady_clock::time_point at;
    };

    void record(const char* op, int nwk, int session, RPCReqStatus* st, int value = -1,
                const NodeDescriptor* nd = nullptr, const PowerDescriptor* pd = nullptr) {
        std::lock_guard<std::mutex> lock(m);
        calls.push_back(Call{op, nwk, session, st->getFState(), st->getFResult(),
                             st->getReturnValue(), st->isReqAsynch(), value,
                             nd != nullptr ? *nd : NodeDescriptor(),
                             pd != nullptr ? *pd : PowerDescriptor(),
                             nd != nullptr || pd != nullptr, std::chrono::steady_clock::now()});
    }
    static int nwkOf(Node* n) { return n != nullptr ? n->get_nwk_addr() : -1; }

    void* proc_RspCb(int session, RPCReqStatus* st) {
        record("proc_RspCb", -1, session, st);
        return nullptr;
    }
    void* inquiry_NtfCb(Node* n, RPCReqStatus* st) {
        record("inquiry_NtfCb", nwkOf(n), -2, st);
        return nullptr;
    }
    void* lqi_NtfCb(Node* n, RPCReqStatus* st) {
        record("lqi_NtfCb", nwkOf(n), -2, st);
        return nullptr;
    }
    void* announce_NtfCb(Node* n, RPCReqStatus* st) {
        record("announce_NtfCb", nwkOf(n), -2, st);
        return nullptr;
    }
    void* dead_NtfCb(Node* n, RPCReqStatus* st) {
        record("dead_NtfCb", nwkOf(n), -2, st);
        return nullptr;
    }
    void* nodeDesc_RspCb(unsigned short addr, unsigned char*, NodeDescriptor* nd, int session,
                         RPCReqStatus* st) {
        record("nodeDesc_RspCb", addr, session, st, -1, nd);
        return nullptr;
    }
    void* powerDesc_RspCb(unsigned short addr, unsigned char*, PowerDescriptor* pd, int session,
                          RPCReqStatus* st) {
        record("powerDesc_RspCb", addr, session, st, -1, nullptr, pd);
        return nullptr;
    }
    void* db_RspCb(ZbNetDb* db, int session, RPCReqStatus* st) {
        record("db_RspCb", -1, session, st, db != nullptr ? db->getDBNodesSize() : -1);
        return nullptr;
    }
    void* permitJoin_RspCb(unsigned char status, int session, RPCReqStatus* st) {
        record("permitJoin_RspCb", -1, session, st, status);
        return nullptr;
    }
    void* permitJoin_NtfCb(unsigned char status, RPCReqStatus* st) {
        record("permitJoin_NtfCb", -1, -2, st, status);
        return nullptr;
    }
    void* leave_RspCb(int session, RPCReqStatus* st) {
        record("leave_RspCb", -1, session, st);
        return nullptr;
    }
    void* leave_NtfCb(unsigned char, int status, RPCReqStatus* st) {
        record("leave_NtfCb", -1, -2, st, status);
        return nullptr;
    }
    // Unused by these agents; present so a local node can be built over this handler.
    void* gwStatusChanged_gwDescriptor_NtfCb(GwDescriptor*, RPCReqStatus*) { return nullptr; }

    std::vector<Call> named(const std::string& op) { return callsNamed(m, calls, op); }
    size_t count(const std::string& op) { return named(op).size(); }
    bool has(const std::string& op, int nwk) {
        for (const Call& c : named(op)) {
            if (c.nwk == nwk) {
                return true;
            }
        }
        return false;
    }

    std::mutex m;
    std::vector<Call> calls;
};

#endif
