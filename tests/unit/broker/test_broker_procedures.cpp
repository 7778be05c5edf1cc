// The remote procedures' request frame and what each one asks of its agent, the gateway's
// own resources, and the listener lists a procedure's answers and events go to.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BrokerHarness.h"
#include "support/TempFile.h"

namespace {

const std::string kLight = "/net/default/wsnnodes/1101";
const std::string kLightIeee = "/net/default/wsnnodes/00124b0000001101";
const std::string kListener = "http://127.0.0.1:9100/frame";
const char* const kJoin =
    "<JoiningInfo><PermitDuration>30</PermitDuration><TCSignificance>true</TCSignificance>"
    "</JoiningInfo>";
const char* const kStart =
    "<StartupAttributeInfo><StartupControl>0</StartupControl></StartupAttributeInfo>";
// Binds the light's on/off cluster (6) to end point 8 of node 00124b0000000001.
const char* const kBind =
    "<Binding><SourceIEEEAddress>5149012952879361</SourceIEEEAddress><SourceEndpoint>1"
    "</SourceEndpoint><ClusterID>6</ClusterID><DeviceDestination><Address>5149012952875009"
    "</Address><Endpoint>8</Endpoint></DeviceDestination></Binding>";

std::string code(const InProcessRESTServer::Exchange& ex) {
    return elementText(ex.reply(), "Code");
}
std::string message(const InProcessRESTServer::Exchange& ex) {
    return elementText(ex.reply(), "Message");
}

class BrokerProcedures : public ::testing::Test {
  protected:
    void SetUp() override { h.addLight(); }
    BrokerHarness h;
};

// One remote procedure: its request, what it answers to a missing time-out and to an empty
// listener (code 0: it has no such answer) with the line it logs for each, and the agent call
// it makes (time-out 0x1388).
struct Procedure {
    const char* method;
    std::string path;
    const char* query;  // besides the time-out and listener
    const char* body;
    int noTimeout;
    int noListener;
    bool blocking;  // has a blocking form
    const char* call;
    const char* log;  // the procedure's name in its log lines
};

const char* const kTimeoutLine = " - timeout parameter missing";
const char* const kListenerLine = " - callback destination not present";

const std::vector<Procedure>& procedures() {
    static const std::vector<Procedure> all = {
        {"POST", "/startup", "start=true", kStart, 3, 3, false, nullptr, "startup_Req"},
        {"GET", "/net/default/localnode/frequencyagility", "", "", 2, 0, false, nullptr,
         "frequencyAgility_Req"},
        {"POST", "/net/default/allwsnnodes/permitjoin", "", kJoin, 2, 2, true,
         "permitJoin 5000 65535", "ndPermitJoin_Req"},
        {"GET", "/net/default/wsnnodes", "inquiry", "", 3, 0, false, "startInquiry 5000 -1",
         "wnsnodesList_Req"},
        {"GET", "/net/default/wsnnodes", "lqi", "", 3, 0, false, "MgmtLQI_Req 5000 -1",
         "wnsnodesList_Req"},
        {"POST", kLight, "", "<ZDPCommand/>", 3, 0, false, nullptr, "ndRoot_Req"},
        {"DELETE", kLight, "", "", 0, 2, false, "leaveRequest 0 4353", "ndLeave_Req"},
        {"GET", kLight + "/nodedescriptor", "", "", 2, 2, true, "getNodeDescriptor 5000 4353",
         "nodedescriptor_Req"},
        {"GET", kLight + "/services", "", "", 2, 2, true, "getActiveEndPoints 5000 4353",
         "ndServicesList_Req"},
        // The address of a service descriptor is nwk * 256 + end point.
        {"GET", kLight + "/services/01", "", "", 2, 2, true, "getServiceDescriptor 5000 1114369",
         "sServiceDescriptor_Req"},
        // ... of a binding table nwk * 256 + start index.
        {"GET", kLightIeee + "/bindings", "index=3", "", 2, 2, true,
         "getnodebindingRequest 5000 1114371", "lsBind_Req"},
        {"POST", kLightIeee + "/bindings", "", kBind, 2, 2, true, "bindRequest 5000 6",
         "lsBind_Req"},
        {"POST", kLightIeee + "/unbindings", "", kBind, 2, 2, true, "unbindRequest 5000 6",
         "lsUnbind_Req"},
    };
    return all;
}

std::string joined(const std::string& a, const std::string& b) {
    return a.empty() ? b : a + "&" + b;
}

// Each refusal is answered with its own request identifier and logged under the procedure's
// own name; none starts anything, and the light's folder stays.
TEST(BrokerRequestFrame, FrameErrorsAreEachProceduresOwnAndStartNothing) {
    const TempFile file("[main]\ndebugEnabled = 1\n");
    ASSERT_TRUE(ConfigurationRepository::instance(file.path())->load());
    BrokerHarness h;
    h.addLight();
    for (const Procedure& p : procedures()) {
        struct Refusal {
            std::string query;
            int code;
            const char* message;
            std::string line;  // empty: not checked
        };
        std::vector<Refusal> refusals;
        if (p.noTimeout != 0) {
            // The time-out lines of three procedures end with "!"; the prefix is the same.
            refusals.push_back({"urilistener=" + kListener, p.noTimeout,
                                "Missing timeout parameter", p.log + std::string(kTimeoutLine)});
        }
        if (p.noListener != 0) {
            refusals.push_back({"timeout=1388&urilistener=", p.noListener,
                                "Missing callbackDestination parameter",
                                p.log + std::string(std::string(p.log) == "startup_Req"
                                                        ? " - query not containing callback"
                                                        : kListenerLine)});
            refusals.push_back(
                {"timeout=1388&urilistener=ftp://127.0.0.1/x", 4, "Bad urilistener parameter", ""});
        }
        for (const Refusal& r : refusals) {
            testing::internal::CaptureStdout();
            auto ex = h.server->request(p.method, p.path, joined(p.query, r.query), p.body);
            const std::string logged = testing::internal::GetCapturedStdout();
            ASSERT_TRUE(ex->answered()) << p.method << " " << p.path << "?" << r.query;
            EXPECT_EQ(code(*ex), std::to_string(r.code)) << p.path << "?" << r.query;
            EXPECT_EQ(message(*ex), r.message) << p.path << "?" << r.query;
            EXPECT_EQ(elementText(ex->reply(), "RequestIdentifier").size(), 8u) << ex->reply();
            EXPECT_NE(logged.find(r.line), std::string::npos)
                << p.path << "?" << r.query << " logged:\n"
                << logged;
        }
    }
    EXPECT_TRUE(h.calls().empty());
    EXPECT_TRUE(h.client->taken().empty());
    auto& l = h.broker->getListeners();
    for (const RBURIListenerList* list :
         {&l.startup, &l.permitJoin, &l.nodeInquiry, &l.nodeMgmt_Lqi, &l.leaveCommand,
          &l.nodeDescriptor, &l.serviceDiscovery, &l.serviceDescriptor, &l.getnodebinding, &l.bind,
          &l.unbind}) {
        EXPECT_TRUE(list->empty());
    }
    EXPECT_EQ(code(*h.server->request("GET", kLight, "", "")), "0");
}

// The time-out is given in hexadecimal milliseconds; a blocking request waits for the
// agent, a non-blocking one is accepted at once with its request identifier.
TEST(BrokerProcedureCalls, EachProcedureCallsItsAgentOnceBlockingOrNot) {
    for (const Procedure& p : procedures()) {
        if (p.call == nullptr) {
            continue;
        }
        for (bool blocking : {true, false}) {
            if (blocking && !p.blocking) {
                continue;
            }
            BrokerHarness h;
            h.addLight();
            const std::string frame =
                blocking ? "timeout=1388" : "timeout=1388&urilistener=" + kListener;
            auto ex = h.server->request(p.method, p.path, joined(p.query, frame), p.body);
            EXPECT_EQ(h.calls(), std::vector<std::string>{p.call}) << p.path << "?" << frame;
            EXPECT_EQ(ex->answered(), !blocking) << p.path << "?" << frame;
            if (!blocking) {
                EXPECT_EQ(code(*ex), "0") << p.path;
                EXPECT_EQ(elementText(ex->reply(), "RequestIdentifier").size(), 8u) << p.path;
            }
        }
    }
}

// --- The node list's modes ---

TEST_F(BrokerProcedures, NodeListModesAndTheirRefusals) {
    struct Case {
        const char* query;
        const char* code;
        const char* message;
    };
    for (const Case& c :
         {Case{"mode=xyz", "4", "Bad mode parameter"},
          Case{"inquiry&lqi&timeout=ea60&urilistener=http://127.0.0.1:9/l", "4",
               "Bad mode parameter"},
          Case{"inquiry&timeout=ea60", "3", "Missing callbackDestination parameter"},
          Case{"inquiry&urilistener=http://127.0.0.1:9/l", "3", "Missing timeout parameter"}}) {
        auto ex = h.server->request("GET", "/net/default/wsnnodes", c.query);
        EXPECT_EQ(code(*ex), c.code) << c.query;
        EXPECT_EQ(message(*ex), c.message) << c.query;
    }
    EXPECT_TRUE(h.calls().empty());

    // A listener with no mode ends the walks the node list runs.
    auto walk = h.server->request("GET", "/net/default/wsnnodes",
                                  "lqi&timeout=ea60&urilistener=http://127.0.0.1:9/lqi");
    EXPECT_EQ(h.broker->getListeners().nodeMgmt_Lqi.size(), 1u);
    auto none = h.server->request("GET", "/net/default/wsnnodes",
                                  "timeout=ea60&urilistener=http://127.0.0.1:9/lqi");
    ASSERT_TRUE(none->answered());
    EXPECT_EQ(code(*none), "0");
    EXPECT_TRUE(h.broker->getListeners().nodeMgmt_Lqi.empty());
    EXPECT_EQ(h.calls(),
              (std::vector<std::string>{"MgmtLQI_Req 60000 -1", "cancelMgmtLQI_Req 0 -1"}));
}

TEST_F(BrokerProcedures, RefusedWalkIsAnsweredWithTheRefusal) {
    h.fakeDiscovery.answer = AGENT_BUSY;
    for (const char* mode : {"inquiry", "lqi"}) {
        auto ex =
            h.server->request("GET", "/net/default/wsnnodes",
                              std::string(mode) + "&timeout=ea60&urilistener=http://127.0.0.1:9/i");
        EXPECT_EQ(code(*ex), "2") << mode;
        EXPECT_EQ(message(*ex), "Agent Busy") << mode;
    }
    EXPECT_TRUE(h.broker->getListeners().nodeInquiry.empty());
    EXPECT_TRUE(h.broker->getListeners().nodeMgmt_Lqi.empty());
}

// A listener registered again while its inquiry runs hears of the nodes found so far.
TEST_F(BrokerProcedures, InquiryListenerAgainHearsTheNodesSoFar) {
    const std::string query = "inquiry&timeout=ea60&urilistener=http://127.0.0.1:9/again";
    auto first = h.server->request("GET", "/net/default/wsnnodes", query);
    auto again = h.server->request("GET", "/net/default/wsnnodes", query);
    EXPECT_EQ(h.calls(), std::vector<std::string>{"startInquiry 60000 -1"}) << "one inquiry runs";
    EXPECT_EQ(h.broker->getListeners().nodeInquiry.size(), 1u);
    const auto posts = h.client->taken();
    ASSERT_FALSE(posts.empty());
    bool light = false;
    for (const auto& post : posts) {
        light = light || post.body.find(">4353<") != std::string::npos;
    }
    EXPECT_TRUE(light);
}

// --- Descriptors, services and ZDP commands ---

TEST_F(BrokerProcedures, ServiceDescriptorNotificationCarriesTheDescriptorOrTheError) {
    Node* light = BrokerHarness::db()->findNodeByNwkAddr(0x1101);
    struct Case {
        Node* node;
        AgentError error;
        const char* element;
        const char* text;
    };
    for (const Case& c :
         {Case{light, AGENT_SUCCESS, "EndPoint", "1"}, Case{nullptr, AGENT_SUCCESS, "Code", "0"},
          Case{light, TIMER_EXPIRED, "Message", "Timer expired"}}) {
        auto ex = h.server->request("GET", kLight + "/services/01",
                                    "timeout=1388&urilistener=http://127.0.0.1:9/sd");
        RPCReqStatus st(End, 0, c.error, true);
        h.fakeService.serviceDescs.back().path.notify(c.node, 1, &st);
        const auto posts = h.client->taken();
        ASSERT_EQ(posts.size(), 1u);
        EXPECT_EQ(elementText(posts[0].body, c.element), c.text) << posts[0].body;
        EXPECT_TRUE(h.broker->getListeners().serviceDescriptor.empty());
    }
}

TEST_F(BrokerProcedures, NodeDescriptorAskedInAnAPSMessageIsTheDescriptorRequest) {
    auto ex = h.server->request(
        "POST", "/net/default/localnode/services/00/wsnconnection/message", "timeout=1388",
        "<APSMessage><DestinationAddress><NetworkAddress>4353</NetworkAddress>"
        "</DestinationAddress><DestinationEndpoint>0</DestinationEndpoint><SourceEndpoint>0"
        "</SourceEndpoint><ProfileID>0</ProfileID><ClusterID>2</ClusterID><TxOptions>"
        "<SecurityEnabled>false</SecurityEnabled><UseNetworkKey>false</UseNetworkKey>"
        "<Acknowledged>true</Acknowledged><PermitFragmentation>false</PermitFragmentation>"
        "</TxOptions><Radius>10</Radius><Data>0001</Data></APSMessage>");
    EXPECT_EQ(h.calls(), std::vector<std::string>{"getNodeDescriptor 5000 4353"});
    EXPECT_FALSE(ex->answered());
}

// --- Filtered callbacks ---

std::string callbackDoc(const std::string& filter) {
    return "<Callback>" + filter +
           "<Action><DecodeSpecification><DecodeLevel>DecodeAPS</DecodeLevel>"
           "</DecodeSpecification><ForwardingSpecification>http://127.0.0.1:9/cb"
           "</ForwardingSpecification></Action></Callback>";
}

TEST_F(BrokerProcedures, FilteredCallbacksAcceptedRefusedAndNotified) {
    const std::string aps = "<LevelSpecification><Level>APSLevel</Level></LevelSpecification>";
    struct Case {
        std::string body;
        const char* code;
        const char* message;
    };
    for (const Case& c : {
             Case{"<Callback", "4", "Bad Callback XML message"},
             Case{"<Other/>", "3", "Missing Callback XML Message"},
             Case{callbackDoc("<Filter><LevelSpecification><Level>NWKLevel</Level>"
                              "</LevelSpecification></Filter>"),
                  "2", "Feature not supported"},
             Case{callbackDoc("<Filter>" + aps +
                              "<MessageSpecification><APSClusterGroup>Other</APSClusterGroup>"
                              "</MessageSpecification></Filter>"),
                  "2", "Feature not supported"},
         }) {
        auto ex = h.server->request("POST", "/net/default/callbacks", "", c.body);
        EXPECT_EQ(code(*ex), c.code) << c.body;
        EXPECT_EQ(message(*ex), c.message) << c.body;
    }
    EXPECT_TRUE(h.calls().empty());

    for (const char* group : {"ZDP", "ZCL", "Discovery"}) {
        auto ex = h.server->request(
            "POST", "/net/default/callbacks", "",
            callbackDoc("<Filter>" + aps + "<MessageSpecification><APSClusterGroup>" + group +
                        "</APSClusterGroup></MessageSpecification></Filter>"));
        EXPECT_EQ(code(*ex), "0") << group << ex->reply();
    }
    ASSERT_EQ(h.fakeService.callbacks.size(), 3u);
    EXPECT_EQ(h.fakeService.callbacks[0].op, "createCallback(filter)");

    // A message the agent matched goes to its callback's listener (the first callback's
    // identifier is 0); a notification without a message nowhere.
    const auto call = h.fakeService.callbacks[0];
    Message msg;
    msg.setSrcNwkAddr(0x1101);
    msg.setClusterId(6);
    RPCReqStatus running(Running, 0, AGENT_SUCCESS, true);
    call.path.notify(0, &msg, &running);
    const auto posts = h.client->taken();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(elementText(posts[0].body, "ClusterID"), "6");
    call.path.notify(0, nullptr, &running);
    EXPECT_TRUE(h.client->taken().empty());
}

// --- The gateway's own resources ---

TEST(BrokerGatewayResources, MethodsVersionStateAndFolders) {
    BrokerHarness h;
    for (const auto& [method, path] : std::vector<std::pair<const char*, std::string>>{
             {"DELETE", "/version"},
             {"POST", "/version"},
             {"PUT", "/reset"},
             {"DELETE", "/startup"},
             {"GET", "/net/default/allwsnnodes/permitjoin"},
             {"POST", "/net/default/localnode/frequencyagility"},
             {"DELETE", "/net/default/ib/c3"},
             {"POST", "/net/default/wsnnodes"}}) {
        auto ex = h.server->request(method, path, "timeout=1");
        EXPECT_EQ(ex->httpError, 405) << method << " " << path;
    }
    auto version = h.server->request("GET", "/version");
    EXPECT_EQ(elementText(version->reply(), "ManufacturerVersion"), "5.3.15");
    auto notAllowed = h.server->request("PUT", "/ib/00/00", "", "<Value>1</Value>");
    EXPECT_EQ(code(*notAllowed), "7");
    EXPECT_EQ(message(*notAllowed), "Not allowed");
    auto badValue = h.server->request("PUT", "/ib/00/00", "", "no document");
    EXPECT_EQ(code(*badValue), "4");
    EXPECT_EQ(message(*badValue), "Bad XML message");
    // Folders without a handler answer with their children's names, and only those.
    for (const auto& [path, names] : std::vector<std::pair<const char*, std::vector<std::string>>>{
             {"/net/default/discovery", {}},
             {"/ib", {"00"}},
             {"/net/default",
              {"aliases", "allaliases", "allwsnnodes", "callbacks", "discovery", "ib", "localnode",
               "wsnnodes"}}}) {
        auto folder = h.server->request("GET", path);
        EXPECT_EQ(code(*folder), "0") << path;
        const std::string& body = folder->reply();
        for (const std::string& name : names) {
            EXPECT_NE(body.find(">" + name + "<"), std::string::npos) << path << " " << name;
        }
        size_t count = 0;
        for (size_t at = body.find("Resource>"); at != std::string::npos;
             at = body.find("Resource>", at + 1)) {
            ++count;
        }
        EXPECT_EQ(count / 2, names.size()) << body;
    }
    EXPECT_EQ(h.server->request("GET", "/net/default/nothing")->httpError, 404);
}

TEST(BrokerGatewayResources, NetworkInformationBaseIsWrittenAndReadBack) {
    BrokerHarness h;
    StartupAttributeInfo set;
    set.startupAttributeSetIndex = 0;
    BrokerHarness::db()->setStartupAttributeInfo(0, &set);
    const std::string ib = "/net/default/ib/";
    struct Case {
        const char* attribute;
        const char* written;
        const char* read;
    };
    for (const Case& c :
         {Case{"c8", "0", "00"}, Case{"c8", "1", "01"}, Case{"c3", "8000", "32768"},
          Case{"c3", "10000", "65536"},
          Case{"c4", "00 11 22 33 44 55 66 77", "00 11 22 33 44 55 66 77"},
          Case{"c4", "0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x01", "00 00 00 00 00 00 00 01"}}) {
        auto put = h.server->request("PUT", ib + c.attribute, "",
                                     std::string("<Value>") + c.written + "</Value>");
        EXPECT_EQ(code(*put), "0") << c.attribute << " " << c.written;
        auto get = h.server->request("GET", ib + c.attribute);
        EXPECT_EQ(elementText(get->reply(), "Value"), c.read) << c.attribute;
    }
    struct Refusal {
        const char* method;
        const char* attribute;
        const char* body;
        const char* code;
        const char* message;  // null: not compared
    };
    for (const Refusal& r : {Refusal{"GET", "c9", "", "4", "Invalid value"},
                             Refusal{"PUT", "c9", "<Value>1</Value>", "2", nullptr},
                             Refusal{"GET", "abc", "", "4", nullptr},
                             Refusal{"PUT", "c3", "<nothing", "4", "Bad XML message"},
                             Refusal{"PUT", "c3", "<Value>zz</Value>", "4", "Invalid value"},
                             Refusal{"PUT", "c4", "<Value>00 11</Value>", "4", "Invalid value"},
                             Refusal{"PUT", "c8", "<Value>100</Value>", "4", "Invalid value"},
                             Refusal{"PUT", "c8", "", "4", "Bad XML message"}}) {
        auto ex = h.server->request(r.method, ib + r.attribute, "", r.body);
        EXPECT_EQ(code(*ex), r.code) << r.method << " " << r.attribute << " " << r.body;
        if (r.message != nullptr) {
            EXPECT_EQ(message(*ex), r.message) << r.method << " " << r.attribute;
        }
    }
    EXPECT_EQ(elementText(h.server->request("GET", ib + "c3")->reply(), "Value"), "65536");
}

// Each change of the gateway's state goes to the status listeners twice: as the success
// document and as the bare descriptor. Nothing goes for a failed or missing descriptor.
TEST(BrokerGatewayResources, StatusChangesGoToTheStatusListener) {
    BrokerHarness h;
    h.broker->getListeners().gwStatus.addListener("http://127.0.0.1:9/gw", -1, nullptr);
    GwDescriptor starting;
    starting.setGwState(GW_STARTING);
    RPCReqStatus ok(End, 0, AGENT_SUCCESS, true);
    RPCReqStatus failed(End, 1, AGENT_BUSY, true);
    struct Case {
        GwDescriptor* descriptor;
        RPCReqStatus* status;
        size_t posts;
    };
    for (const Case& c : {Case{&starting, &ok, 2u}, Case{&starting, nullptr, 2u},
                          Case{nullptr, &ok, 0u}, Case{&starting, &failed, 0u}}) {
        h.broker->gwStatusChanged_gwDescriptor_NtfCb(c.descriptor, c.status);
        const auto posts = h.client->taken();
        ASSERT_EQ(posts.size(), c.posts);
        if (c.posts == 0) {
            continue;
        }
        EXPECT_EQ(elementText(posts[0].body, "Code"), "0");
        EXPECT_NE(posts[0].body.find("Detail><GWDescriptor>"), std::string::npos) << posts[0].body;
        EXPECT_EQ(posts[0].body.find("<?xml", 1), std::string::npos) << posts[0].body;
        EXPECT_EQ(posts[1].body.rfind("<?xml", 0), 0u) << posts[1].body;
        EXPECT_NE(posts[1].body.find("GWState>02<"), std::string::npos) << posts[1].body;
    }
    EXPECT_EQ(h.broker->getListeners().gwStatus.size(), 1u) << "a standing listener stays";
}

// --- Registrations that outlive their exchange ---

TEST_F(BrokerProcedures, StandingRegistrationsAreKeptAndForgotten) {
    std::vector<std::string> kept;
    std::vector<std::string> forgotten;
    h.broker->keepRegistrations(
        {[&](const RESTBroker::Registration& r) { kept.push_back(r.path + "?" + r.query); },
         [&](const std::string& id) { forgotten.push_back(id); }});
    const std::string announce = "announcements&timeout=ea60&urilistener=http://127.0.0.1:9/a";
    h.server->request("GET", "/net/default/wsnnodes", announce);
    const std::string connection = "urilistener=http://127.0.0.1:9/c";
    auto conn =
        h.server->request("POST", "/net/default/localnode/services/00/wsnconnection", connection);
    // A walk's or a one-shot procedure's listener is not kept.
    h.server->request("GET", "/net/default/wsnnodes",
                      "inquiry&timeout=ea60&urilistener=http://127.0.0.1:9/i");
    h.server->request("GET", kLight + "/services", "timeout=1388&urilistener=http://127.0.0.1:9/s");
    EXPECT_EQ(kept, (std::vector<std::string>{
                        "/net/default/wsnnodes?" + announce,
                        "/net/default/localnode/services/00/wsnconnection?" + connection}));
    // Ending the walks forgets none of them; deleting the connection forgets it alone.
    h.server->request("GET", "/net/default/wsnnodes",
                      "timeout=ea60&urilistener=http://127.0.0.1:9/i");
    EXPECT_TRUE(forgotten.empty());
    const std::string id = elementText(conn->reply(), "CallbackIdentifier");
    char folder[16];
    std::snprintf(folder, sizeof(folder), "/%08lx", std::stoul(id));
    auto del = h.server->request("DELETE", std::string("/net/default/callbacks") + folder);
    EXPECT_EQ(code(*del), "0") << del->reply();
    EXPECT_EQ(forgotten.size(), 1u);
}

}  // namespace

namespace {

TEST_F(BrokerProcedures, NodeThatLeftIsGoneFromTheDatabase) {
    h.server->request("DELETE", kLight);
    EXPECT_EQ(h.calls(), std::vector<std::string>{"leaveRequest 0 4353"});
    EXPECT_EQ(BrokerHarness::db()->findNodeByNwkAddr(0x1101), nullptr);
}

}  // namespace
