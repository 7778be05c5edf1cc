// RESTBroker: the operations of the node, service, binding, message and callback resources
// that are not served yet. Each resource answers HTTP 501 through RESTBroker::pending; their
// lists accept no work. A family leaves this file when its own source file serves it.

#include "CRESTBroker.h"

#define ORQ_PENDING_REQ(name)                                                        \
    void RESTBroker::name(Resource*, const char*, Method, const char*, std::string*, \
                          RESTSessionContext* session) {                             \
        pending(#name, session);                                                     \
    }
#define ORQ_PENDING_LIST(attach, detach)                                                    \
    void RESTBroker::attach(RBURIListenerList* l, const uriListener_t& u, int s, bool up) { \
        pendingAttach(l, u, s, up);                                                         \
    }                                                                                       \
    void RESTBroker::detach(RBURIListenerList*) {}

// Message and callback resources.
ORQ_PENDING_REQ(callbacks_Req)
ORQ_PENDING_REQ(cbCallback_Req)
ORQ_PENDING_REQ(lsWsnConnection_Req)
ORQ_PENDING_REQ(lsWsnConnection_BC_Req)
ORQ_PENDING_REQ(lsMessage_Req)
ORQ_PENDING_REQ(lndAllServicesWsnConnection_Req)
ORQ_PENDING_REQ(lndAllServicesMessage_Req)
ORQ_PENDING_LIST(allServicesAttach, allServicesDetach)
