#ifndef ORQ_TESTS_BROKER_BROKERHARNESS_H
#define ORQ_TESTS_BROKER_BROKERHARNESS_H

// The broker in one process with no socket and no module: a REST server that is handed its
// requests directly on the caller's thread, a REST client that records what it would POST,
// and the broker's agents with fake operations behind them (FakeAgents.h). Replies and
// notifications are driven by the test through the reply paths the fakes kept.

#include <algorithm>
#include <cctype>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CRESTBroker.h"
#include "FakeAgents.h"

// What the broker would POST to URI listeners, in order.
class RecordingRESTClient : public RESTClient {
  public:
    struct Post {
        std::string url;
        std::string body;
    };
    using RESTClient::sendPostData;
    int sendPostData(const uriListener_t* listener, const std::string& text) override {
        {
            std::lock_guard<std::mutex> lock(mux);
            posts.push_back(Post{listener->URL, text});
        }
        if (whilePosting) {
            // Once: what it does may post again.
            auto run = std::move(whilePosting);
            whilePosting = nullptr;
            run();
        }
        return 0;
    }
    // Run inside the next POST, as another thread would at that moment.
    std::function<void()> whilePosting;
    std::vector<Post> taken() {
        std::lock_guard<std::mutex> lock(mux);
        std::vector<Post> out;
        out.swap(posts);
        return out;
    }

  private:
    std::mutex mux;
    std::vector<Post> posts;
};

// A REST server without listeners: request() serves one request the way the poll loop
// does (session, dispatch, the reply stored on the session); work the broker hands to the
// poll loop waits for runLoopWork().
class InProcessRESTServer : public RESTServer {
  public:
    using Session = RESTSessionContext;

    // One exchange, open until destroyed: its reply (empty until answered) and the HTTP
    // error a handler threw instead of a document (0 for none).
    class Exchange {
      public:
        Exchange(InProcessRESTServer* server, const char* method, const std::string& path,
                 const std::string& query)
            : server(server) {
            arg.server = server;
            arg.method = method;
            arg.path = path;
            arg.query = query;
        }
        ~Exchange() { server->close(this); }
        Exchange(const Exchange&) = delete;
        Exchange& operator=(const Exchange&) = delete;

        bool answered() const { return session->getSessionStatus() == S_READY; }
        std::string reply() const { return answered() ? session->getResponse() : std::string(); }
        int id() const { return session->getSessionId(); }

        InProcessRESTServer* server;
        HTTPRequestArg arg;
        std::unique_ptr<Session> session;
        int httpError = 0;
    };

    explicit InProcessRESTServer(RESTClient* client) : RESTServer(nullptr, nullptr, client) {}
    ~InProcessRESTServer() override { stopListeners(); }

    // No ports are opened.
    int init() override { return 0; }

    std::unique_ptr<Exchange> request(const char* method, const std::string& path,
                                      const std::string& query = "", const std::string& body = "") {
        auto ex = std::make_unique<Exchange>(this, method, path, query);
        Resource* resource = resolve(path);
        if (resource == nullptr) {
            ex->httpError = 404;
            return ex;
        }
        ex->arg.resource = resource;
        ex->session = std::make_unique<Session>(&ex->arg, this);
        ex->arg.state = ex->session.get();
        openInProcess(ex->session.get());
        ex->session->rxData()->assign(body);
        ex->session->setSessionStatus(S_SERVING);
        try {
            serveRequest(resource, ex->session.get());
        } catch (const HTTPException& e) {
            ex->httpError = e.code;
        }
        if (ex->session->getSessionStatus() == S_SERVING) {
            ex->session->setSessionStatus(S_SERVED);
        }
        return ex;
    }

    // Runs what the broker handed to the poll loop.
    void runLoopWork() { runPosted(); }

  private:
    void close(Exchange* ex) {
        if (!ex->session) {
            return;
        }
        closeInProcess(ex->session.get());
        ex->session.reset();
    }
};

// The text of the first element `name` of `doc`, whatever its namespace prefix, or
// "(no name)".
inline std::string elementText(const std::string& doc, const std::string& name) {
    const std::string open = name + ">";
    for (size_t at = doc.find(open); at != std::string::npos; at = doc.find(open, at + 1)) {
        const size_t lt = doc.rfind('<', at);
        const std::string prefix = lt == std::string::npos ? "/" : doc.substr(lt + 1, at - lt - 1);
        const bool plainOrPrefixed =
            prefix.empty() || (prefix.back() == ':' &&
                               std::all_of(prefix.begin(), prefix.end() - 1,
                                           [](unsigned char c) { return std::isalpha(c) != 0; }));
        if (!plainOrPrefixed || prefix.size() == 1) {
            continue;  // a closing tag, a longer name ending in `name`, or a bare ':'
        }
        const size_t start = at + open.size();
        const size_t end = doc.find('<', start);
        if (end == std::string::npos) {
            break;
        }
        const size_t close = doc.find(open, end);
        if (doc.compare(end, 2, "</") == 0 && close != std::string::npos &&
            doc.find('>', end) == close + name.size()) {
            return doc.substr(start, end - start);
        }
    }
    return "(no " + name + ")";
}

// A broker built on the in-process server, the recording client and the fake agents; its
// tree is made (init) but nothing is started.
class BrokerHarness {
  public:
    BrokerHarness() : client(new RecordingRESTClient()), server(new InProcessRESTServer(client)) {
        discovery.setOperations(&fakeDiscovery);
        service.setOperations(&fakeService);
        management.setOperations(&fakeManagement);
        RESTBroker::Agents agents;
        agents.discovery = &discovery;
        agents.service = &service;
        agents.management = &management;
        broker = std::make_unique<RESTBroker>(server, client, &agents);
        broker->init(false, false);
    }
    ~BrokerHarness() { broker.reset(); }

    // Every agent call so far, in order per agent: discovery, management, service.
    std::vector<std::string> calls() const {
        std::vector<std::string> all = fakeDiscovery.calls;
        all.insert(all.end(), fakeManagement.calls.begin(), fakeManagement.calls.end());
        all.insert(all.end(), fakeService.calls.begin(), fakeService.calls.end());
        return all;
    }
    void forgetCalls() {
        fakeDiscovery.calls.clear();
        fakeManagement.calls.clear();
        fakeService.calls.clear();
    }

    // The gateway's network database (the process-wide one the broker works on).
    static ZbNetDb* db() { return RESTBroker::LocalNodeT::getLocalNode()->getOrqZbIf()->getDb(); }

    // The light 0x1101 (IEEE 00124b0000001101) with its service on end point 1: in the
    // database, and its folders made the way a walk and a blocking service discovery make
    // them. The calls this took are forgotten.
    Node* addLight() {
        static const unsigned char ieee[8] = {0x00, 0x12, 0x4b, 0x00, 0x00, 0x00, 0x11, 0x01};
        ZbNetDb* netDb = db();
        Node* light = netDb->nodeAnnounce(0x1101, ieee, 0x8e);
        netDb->setActive(light, true);
        if (netDb->getSimpleDescr(light, 1) == nullptr) {
            netDb->addEndPoint(light, 1);
            auto* sd = new SimpleDescriptor();
            ZbNetDb::createDefaultSimpleDescr(1, sd);
            netDb->addSimpleDescr(light, sd);
        }
        auto walk = server->request("GET", "/net/default/wsnnodes",
                                    "inquiry&timeout=ea60&urilistener=http://127.0.0.1:9/w");
        RPCReqStatus running(Running, 0, AGENT_SUCCESS, true);
        RPCReqStatus end(End, 0, AGENT_SUCCESS, true);
        fakeDiscovery.procs.back().path.notify(light, &running);
        fakeDiscovery.procs.back().path.notify(nullptr, &end);
        server->runLoopWork();
        auto services = server->request("GET", "/net/default/wsnnodes/1101/services", "timeout=1");
        RPCReqStatus done(End, 0, AGENT_SUCCESS, false);
        fakeService.activeEps.back().path.respond(light, services->id(), &done);
        server->runLoopWork();
        client->taken();
        forgetCalls();
        return light;
    }

    RecordingRESTClient* client;  // owned by the broker
    InProcessRESTServer* server;  // owned by the broker
    FakeDiscovery fakeDiscovery;
    FakeService fakeService;
    FakeManagement fakeManagement;
    RESTBroker::DiscoveryAgentT discovery;
    RESTBroker::ServiceAgentT service;
    RESTBroker::ManagementAgentT management;
    std::unique_ptr<RESTBroker> broker;
};

#endif
