#ifndef ORQ_TESTS_SUPPORT_SERVICERECORDER_H
#define ORQ_TESTS_SUPPORT_SERVICERECORDER_H

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/CallLog.h"
#include "support/TestConfig.h"

#include "CServiceAgent.h"
#include "TimerThread.h"
#include "ZbEvents.h"

// A data indication to the module (destination mode 2) as the adapter hands it over.
inline ZbDataIndication indication(const uint8_t* dst, uint8_t dstEp, uint8_t srcMode,
                                   const uint8_t* src, uint8_t srcEp, uint16_t profile,
                                   uint16_t cluster, const uint8_t* payload, uint16_t length) {
    ZbDataIndication ind;
    ind.dstAddrMode = 2;
    ind.dstAddr = dst;
    ind.dstEp = dstEp;
    ind.srcAddrMode = srcMode;
    ind.srcAddr = src;
    ind.srcEp = srcEp;
    ind.profileId = profile;
    ind.clusterId = cluster;
    ind.payload = payload;
    ind.payloadLength = length;
    return ind;
}

// Stands where the REST broker stands: every response and notification operation of the
// service agent records what it was given (copied during the call). Notifications have
// session -2.
struct ServiceRecorder {
    struct Call {
        std::string op;
        int id = 0;  // end point, callback id or end point code
        int session = -2;
        fState_t state = NotAvailable;
        AgentError error = AGENT_SUCCESS;
        bool asynch = false;
        int nodeAddr = -1;
        std::vector<int> list;  // the node's end points, or entries, start, count
        int msgId = -1, srcNwk = -1, srcEp = -1, cluster = -1;
        std::vector<uint8_t> payload;
        std::vector<ZB_BIND_STRUCT> bindings;
    };
    using SA = ServiceAgent<ServiceRecorder>;
    using B = ZB_BIND_STRUCT;
    using U = unsigned short;

    void* add(const char* op, int id, int session, RPCReqStatus* st, Node* n = nullptr,
              Message* m = nullptr) {
        Call c;
        c.op = op;
        c.id = id;
        c.session = session;
        c.state = st->getFState();
        c.error = st->getReturnValue();
        c.asynch = st->isReqAsynch();
        if (n != nullptr) {
            c.nodeAddr = n->get_nwk_addr();
            c.list.assign(n->endpoints.begin(), n->endpoints.end());
        }
        if (m != nullptr) {
            c.msgId = m->getMsgId();
            c.srcNwk = m->getSrcNwkAddr();
            c.srcEp = m->getSrcEp();
            c.cluster = m->getClusterId();
            uint16_t len = 0;
            uint8_t* p = m->getPayload(&len);
            c.payload.assign(p, p + len);
        }
        std::lock_guard<std::mutex> lock(mux);
        calls.push_back(c);
        return nullptr;
    }
    void* table(const char* op, U e, U s, U n, B* l, int session, RPCReqStatus* st) {
        add(op, 0, session, st);
        std::lock_guard<std::mutex> lock(mux);
        calls.back().list = {e, s, n};
        calls.back().bindings.assign(l, l + (l != nullptr ? n : 0));
        return nullptr;
    }

    void* activeEp_RspCb(Node* n, int s, RPCReqStatus* st) { return add(__func__, 0, s, st, n); }
    void* serviceDesc_RspCb(Node* n, int ep, int s, RPCReqStatus* st) {
        return add(__func__, ep, s, st, n);
    }
    void* serviceDesc_NtfCb(Node* n, int ep, RPCReqStatus* st) {
        return add(__func__, ep, -2, st, n);
    }
    void* nodeBinding_RspCb(U e, U s, U n, B* l, int ss, RPCReqStatus* st) {
        return table(__func__, e, s, n, l, ss, st);
    }
    void* bind_RspCb(int s, RPCReqStatus* st) { return add(__func__, 0, s, st); }
    void* service_RspCb(SimpleDescriptor* sd, int s, RPCReqStatus* st) {
        return add(__func__, sd != nullptr ? sd->end_point : -1, s, st);
    }
    void* callback_RspCb(int id, int s, RPCReqStatus* st) { return add(__func__, id, s, st); }
    void* callback_NtfCb(int id, Message* m, RPCReqStatus* st) {
        add(__func__, id, -2, st, nullptr, m);
        if (onNotify) {
            onNotify(m);
        }
        return nullptr;
    }
    void* lastRxMsg_RspCb(Message* m, int s, RPCReqStatus* st) {
        return add(__func__, 0, s, st, nullptr, m);
    }

    std::vector<Call> named(const std::string& op) { return callsNamed(mux, calls, op); }
    // One field of every call under `op`, in order.
    template <class T>
    std::vector<T> each(const std::string& op, T Call::*field) {
        std::vector<T> out;
        for (const Call& c : named(op)) {
            out.push_back(c.*field);
        }
        return out;
    }
    // Session and error of every answer under `op`, in order.
    std::vector<std::pair<int, AgentError>> answers(const std::string& op) {
        std::vector<std::pair<int, AgentError>> out;
        for (const Call& c : named(op)) {
            out.emplace_back(c.session, c.error);
        }
        return out;
    }
    size_t count(const std::string& op) { return named(op).size(); }
    Call last(const std::string& op) {
        auto v = named(op);
        return v.empty() ? Call() : v.back();
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mux);
        calls.clear();
    }

    SA::CallbackCtxt connection() {
        return SA::CallbackCtxt(1, this, &ServiceRecorder::callback_RspCb,
                                &ServiceRecorder::callback_NtfCb);
    }
    SA::CallbackDeleteCtxt deletion() {
        return SA::CallbackDeleteCtxt(1, this, &ServiceRecorder::callback_RspCb, nullptr);
    }

    // Runs inside a notification, after it is recorded (the agent's mutex is held).
    std::function<void(Message*)> onNotify;
    std::mutex mux;
    std::vector<Call> calls;
};

// An agent (the facade above or the compiled core below it) on an adapter with no link:
// requests go nowhere, confirms and indications are handed to the agent by the test.
template <class Agent>
class ServiceBed : public ::testing::Test {
  protected:
    ServiceBed() {
        zb.init();
        agent.init();
    }
    // Running, with the light 0x1101 known and services on `eps`.
    void running(std::initializer_list<int> eps) {
        for (int ep : eps) {
            SimpleDescriptor sd;
            ZbNetDb::createDefaultSimpleDescr(ep, &sd);
            ASSERT_EQ(agent.addService(&sd, nullptr), AGENT_SUCCESS);
        }
        zb.setGWStatus(GW_RUNNING, 0);
        zb.getDb()->nodeAnnounce(0x1101, kLightIeee, 0x8E);
    }
    // A data indication from `src` (mode 2) to the module.
    void receive(int dstEp, uint16_t src = 0x1101, uint16_t cluster = 6, int srcEp = 1) {
        uint8_t dst[2] = {0, 0};
        uint8_t from[2] = {static_cast<uint8_t>(src & 0xFF), static_cast<uint8_t>(src >> 8)};
        uint8_t asdu[3] = {0x18, 0x01, 0x0B};
        agent.messageReceived_Cb(indication(dst, static_cast<uint8_t>(dstEp), 2, from,
                                            static_cast<uint8_t>(srcEp), 0x0104, cluster, asdu, 3));
    }

    const uint8_t kLightIeee[8] = {0x00, 0x12, 0x4B, 0, 0, 0, 0x11, 1};
    TestConfig config{"[main]\n"};
    OrqZbIf zb{config.get()};
    ManualTimerClock clock;
    Agent agent{&zb, config.get(), &clock};
    ServiceRecorder rec;
};

#endif
