#ifndef ORQ_TESTS_SERVICE_SERVICERECORDER_H
#define ORQ_TESTS_SERVICE_SERVICERECORDER_H

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "CServiceAgent.h"

// Stands where the REST broker stands: every response and notification operation of the
// service agent, each recording what it was given (records are copied during the call).
struct ServiceRecorder {
    struct Call {
        std::string op;
        int id = 0;  // end point, callback id or code
        int session = -2;
        fState_t state = NotAvailable;
        int result = 0;
        AgentError error = AGENT_SUCCESS;
        bool asynch = false;
        int nodeAddr = -1;    // the node's network address, -1 for none
        int msgId = -1;       // the message's id, -1 for none
        int dstEp = -1;
        int srcNwk = -1;
        int srcEp = -1;
        int cluster = -1;
        std::vector<uint8_t> payload;
        std::vector<uint8_t> srcAddr;
        std::vector<int> list;  // end points, or binding table (entries, start, count)
        std::vector<ZB_BIND_STRUCT> bindings;
    };
    using SA = ServiceAgent<ServiceRecorder>;

    Call& add(const char* op, int id, int session, RPCReqStatus* st) {
        calls.push_back(Call());
        Call& c = calls.back();
        c.op = op;
        c.id = id;
        c.session = session;
        c.state = st->getFState();
        c.result = st->getFResult();
        c.error = st->getReturnValue();
        c.asynch = st->isReqAsynch();
        return c;
    }
    void node(Call& c, Node* n) {
        if (n != nullptr) {
            c.nodeAddr = n->get_nwk_addr();
            c.list.assign(n->endpoints.begin(), n->endpoints.end());
        }
    }
    void message(Call& c, Message* m) {
        if (m == nullptr) {
            return;
        }
        c.msgId = m->getMsgId();
        c.dstEp = m->getDstEp();
        c.srcNwk = m->getSrcNwkAddr();
        c.srcEp = m->getSrcEp();
        c.cluster = m->getClusterId();
        uint16_t len = 0;
        uint8_t* p = m->getPayload(&len);
        c.payload.assign(p, p + len);
        int alen = 0;
        uint8_t* a = m->getSrcAddr(&alen);
        if (a != nullptr) {
            c.srcAddr.assign(a, a + alen);
        }
    }
    void bindTable(Call& c, unsigned short entries, unsigned short start, unsigned short count,
                   ZB_BIND_STRUCT* list) {
        c.list = {entries, start, count};
        for (int i = 0; i < count && list != nullptr; ++i) {
            c.bindings.push_back(list[i]);
        }
    }

    void* activeEp_RspCb(Node* n, int session, RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(m);
        node(add("activeEp_RspCb", 0, session, st), n);
        return nullptr;
    }
    void* activeEp_NtfCb(Node* n, RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(m);
        node(add("activeEp_NtfCb", 0, -2, st), n);
        return nullptr;
    }
    void* serviceDesc_RspCb(Node* n, int ep, int session, RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(m);
        node(add("serviceDesc_RspCb", ep, session, st), n);
        return nullptr;
    }
    void* serviceDesc_NtfCb(Node* n, int ep, RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(m);
        node(add("serviceDesc_NtfCb", ep, -2, st), n);
        return nullptr;
    }
    void* nodeBinding_RspCb(unsigned short e, unsigned short s, unsigned short c,
                            ZB_BIND_STRUCT* l, int session, RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(m);
        bindTable(add("nodeBinding_RspCb", 0, session, st), e, s, c, l);
        return nullptr;
    }
    void* nodeBinding_NtfCb(unsigned short e, unsigned short s, unsigned short c,
                            ZB_BIND_STRUCT* l, RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(m);
        bindTable(add("nodeBinding_NtfCb", 0, -2, st), e, s, c, l);
        return nullptr;
    }
    void* bind_RspCb(int session, RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(m);
        add("bind_RspCb", 0, session, st);
        return nullptr;
    }
    void* bind_NtfCb(RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(m);
        add("bind_NtfCb", 0, -2, st);
        return nullptr;
    }
    void* service_RspCb(SimpleDescriptor* sd, int session, RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(m);
        add("service_RspCb", sd != nullptr ? sd->end_point : -1, session, st);
        return nullptr;
    }
    void* callback_RspCb(int id, int session, RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(m);
        add("callback_RspCb", id, session, st);
        return nullptr;
    }
    void* callback_NtfCb(int id, Message* msg, RPCReqStatus* st) {
        {
            std::lock_guard<std::mutex> lock(m);
            message(add("callback_NtfCb", id, -2, st), msg);
        }
        if (onNotify) {
            onNotify(id, msg);
        }
        return nullptr;
    }
    void* lastRxMsg_RspCb(Message* msg, int session, RPCReqStatus* st) {
        std::lock_guard<std::mutex> lock(m);
        message(add("lastRxMsg_RspCb", 0, session, st), msg);
        return nullptr;
    }

    std::vector<Call> named(const std::string& op) {
        std::lock_guard<std::mutex> lock(m);
        std::vector<Call> out;
        for (const Call& c : calls) {
            if (c.op == op) {
                out.push_back(c);
            }
        }
        return out;
    }
    size_t count(const std::string& op) { return named(op).size(); }
    void clear() {
        std::lock_guard<std::mutex> lock(m);
        calls.clear();
    }

    // Contexts as the broker would build them.
    SA::CallbackCtxt connection(int session = 1) {
        return SA::CallbackCtxt(session, this, &ServiceRecorder::callback_RspCb,
                                &ServiceRecorder::callback_NtfCb);
    }
    SA::CallbackDeleteCtxt deletion(int session = 1) {
        return SA::CallbackDeleteCtxt(session, this, &ServiceRecorder::callback_RspCb, nullptr);
    }
    SA::AddServiceCtxt service(int session = 1) {
        return SA::AddServiceCtxt(session, this, &ServiceRecorder::service_RspCb, nullptr);
    }

    // Runs inside a notification, after it is recorded (the agent's mutex is held).
    std::function<void(int, Message*)> onNotify;
    std::mutex m;
    std::vector<Call> calls;
};

#endif
