// RESTBroker: the descriptor tables, the tree building operations and the life cycle
// (construction, init, the automatic start, the stop and the destructor).

#include "CRESTBroker.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ConfigurationRepository.h"

namespace {
constexpr int kExitRestServerInit = 2;
}

// --- Descriptor tables ---

const RBResourceDescriptor RESTBroker::rootDesc[] = {
    {"ib", nullptr},
    {"net", nullptr},
    {"networks", nullptr},
    {"reset", &RESTBroker::reset_Req},
    {"startup", &RESTBroker::startup_Req},
    {"version", &RESTBroker::version_Req},
    {"localnode", nullptr},
    {"", nullptr},
};

const RBResourceDescriptor RESTBroker::netDesc[] = {
    {"aliases", &RESTBroker::listAddresses_Req},
    {"allaliases", &RESTBroker::listAllAddresses_Req},
    {"allwsnnodes", &RESTBroker::ndRoot_Req},
    {"callbacks", &RESTBroker::callbacks_Req},
    {"discovery", nullptr},
    {"ib", nullptr},
    {"localnode", nullptr},
    {"wsnnodes", &RESTBroker::wsnNodesList_Req},
    {"", nullptr},
};

const RBResourceDescriptor RESTBroker::ibRootDesc[] = {
    {"00", &RESTBroker::manageGIBAttr_Req},
    {"", nullptr},
};

const RBResourceDescriptor RESTBroker::ibNetDesc[] = {
    {"c3", &RESTBroker::informationBase_Req},
    {"c4", &RESTBroker::informationBase_Req},
    {"c8", &RESTBroker::informationBase_Req},
    {"*", &RESTBroker::informationBase_Req},
    {"", nullptr},
};

const RBResourceDescriptor RESTBroker::nodeDesc[] = {
    {"services", &RESTBroker::ndServicesList_Req},
    {"allservices", nullptr},
    {"nodedescriptor", &RESTBroker::nodeDescriptor_Req},
    {"powerdescriptor", &RESTBroker::ndPowerDescriptor_Req},
    {"userdescriptor", nullptr},
    {"epgroups", nullptr},
    {"bindings", &RESTBroker::lsBind_Req},
    {"unbindings", &RESTBroker::lsUnbind_Req},
    {"permitjoin", &RESTBroker::ndPermitJoin_Req},
    {"", &RESTBroker::ndRoot_Req},
};

const RBResourceDescriptor RESTBroker::lnNodeDesc[] = {
    {"services", &RESTBroker::lndServicesList_Req},
    {"allservices", nullptr},
    {"nodedescriptor", &RESTBroker::nodeDescriptor_Req},
    {"powerdescriptor", nullptr},
    {"userdescriptor", nullptr},
    {"epgroups", nullptr},
    {"frequencyagility", &RESTBroker::frequencyAgility_Req},
    {"", &RESTBroker::ndRoot_Req},
};

const RBResourceDescriptor RESTBroker::allnNodeDesc[] = {
    {"services", &RESTBroker::awndServicesList_Req},
    {"allservices", nullptr},
    {"nodedescriptor", nullptr},
    {"powerdescriptor", nullptr},
    {"userdescriptor", nullptr},
    {"epgroups", nullptr},
    {"bindings", &RESTBroker::lsBind_Req},
    {"unbindings", &RESTBroker::lsUnbind_Req},
    {"permitjoin", &RESTBroker::ndPermitJoin_Req},
    {"lqi", &RESTBroker::ndLQIInformation_Req},
    {"", &RESTBroker::ndRoot_Req},
};

const RBResourceDescriptor RESTBroker::allServicesDesc[] = {
    {"wsnconnection", &RESTBroker::lndAllServicesWsnConnection_Req},
    {"", nullptr},
};

const RBResourceDescriptor RESTBroker::allServicesConnDesc[] = {
    {"message", &RESTBroker::lndAllServicesMessage_Req},
    {"", nullptr},
};

const RBResourceDescriptor RESTBroker::servicesDesc[] = {
    {"wsnconnection", &RESTBroker::lsWsnConnection_Req},
    {"", &RESTBroker::clearEndpoin_Req},
};

const RBResourceDescriptor RESTBroker::connDesc[] = {
    {"message", &RESTBroker::lsMessage_Req},
    {"", nullptr},
};

const RBResourceDescriptor RESTBroker::lnNodeDescBC[] = {
    {"nodedescriptor", &RESTBroker::nodeDescriptor_Req},
    {"services", nullptr},
    {"", nullptr},
};

const RBResourceDescriptor RESTBroker::servicesDescBC[] = {
    {"wsnconnection", &RESTBroker::lsWsnConnection_BC_Req},
    {"", nullptr},
};

const RBResourceDescriptor RESTBroker::connDescBC[] = {
    {"message", &RESTBroker::lsMessage_Req},
    {"", nullptr},
};

// --- The periodic task ---

int RESTBroker::Task::start(RESTBroker* broker, int periodA, int periodB, void (*routine)(Task*)) {
    if (taskStarted.load()) {
        ORQ_LOG(*broker->pLogger, ERROR,
                "startPeriodicTask - Thread already started!!!!(unreachable state)");
        return -1;
    }
    if (tid.joinable()) {
        tid.join();
    }
    restBrokerPointer = broker;
    taskPeriodA = periodA;
    taskPeriodB = periodB;
    taskStarted.store(true);
    ORQ_LOG(*broker->pLogger, INFO,
            "startPeriodicTask - Period A (seconds) = %d - Period B (seconds) = %d", periodA,
            periodB);
    try {
        tid = std::thread(routine, this);
    } catch (const std::system_error&) {
        ORQ_LOG(*broker->pLogger, ERROR, "startPeriodicTask - Error in creating thread");
        taskStarted.store(false);
        return -1;
    }
    return 0;
}

void RESTBroker::Task::stop() {
    {
        std::lock_guard<std::mutex> lock(waitMux);
        taskStarted.store(false);
    }
    wake.notify_all();
    if (tid.joinable() && tid.get_id() != std::this_thread::get_id()) {
        tid.join();
    }
}

bool RESTBroker::Task::sleepFor(int seconds) {
    std::unique_lock<std::mutex> lock(waitMux);
    wake.wait_for(lock, std::chrono::seconds(seconds), [this] { return !taskStarted.load(); });
    return taskStarted.load();
}

void RESTBroker::notifyGWDescriptorToWsnc_SW(Task* task) {
    std::puts("RESTBroker::notifyGWDescriptorToWsnc_SW");
    std::fflush(stdout);
    task->restBrokerPointer->notifyGWDescriptorToWsnc(task);
}

void RESTBroker::notifyGWDescriptorToWsnc(Task* task) {
    int period = task->taskPeriodA;
    while (task->sleepFor(period)) {
        period = wsncAttached.load() ? task->taskPeriodB : task->taskPeriodA;
        ORQ_LOG(*pLogger, DEBUG, "notifyGWDescriptorToWsnc - Send a NOTIFY!");
        GwDescriptor* descriptor = pLocalNode != nullptr ? pLocalNode->getGwDescriptor() : nullptr;
        if (descriptor == nullptr) {
            continue;
        }
        std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" +
                          pXMLMsgComposer->createGwStatusChangedMsg(descriptor);
        restEvent_BC("notifyGWDescriptorToWsnc", &listeners.gwStatus, doc, nullptr);
    }
}

// --- Construction and life cycle ---

RESTBroker::RESTBroker(RESTServer* server, RESTClient* client, const Agents* agents)
    : pXMLMsgComposer(XMLMsgComposer::Instance()),
      pXMLMsgParser(XMLMsgParser::Instance()),
      givenAgents(agents != nullptr ? *agents : Agents()),
      pLogger(new Debug("RESTBroker")) {
    tasks.wsnc.restBrokerPointer = this;
    configureLogger(*pLogger, "Debug:RESTBrokerDL");
    ORQ_LOG(*pLogger, DEBUG, "Constructor");
    pRESTClient = client != nullptr ? client : RESTClient::getRESTClient();
    pRESTServer =
        server != nullptr ? server : new RESTServer(pXMLMsgParser, pXMLMsgComposer, pRESTClient);
    pQueryParser = new QueryParser();
}

RESTBroker::~RESTBroker() {
    std::puts("RESTBroker - Destructor");
    std::fflush(stdout);
    {
        std::lock_guard<std::mutex> lock(mux);
        stopping.store(true);
    }
    tasks.wsnc.stop();
    delete pQueryParser;
    // The server first: its open exchanges end while the client still exists.
    delete pRESTServer;
    delete pRESTClient;
    delete pLogger;
}

void RESTBroker::init(bool autostartFlag, bool nvm) {
    ORQ_LOG(*pLogger, INFO, "init");
    ConfigurationRepository* config = ConfigurationRepository::instance();
    debugEnabled = config->getint("main:debugEnabled", 0) != 0;
    debugLevel = config->getint("Debug:RESTBrokerDL", 1);
    pGWManagementMsgs = GWManagementMessages::Instance();
    pQueryParser->init();
    pRESTClient->init();
    if (pRESTServer->init() != 0) {
        ORQ_LOG(*pLogger, ERROR, "RESTBroker - initialization failed - exit");
        std::fflush(stdout);
        std::exit(kExitRestServerInit);
    }
    connectLocalNode();
    wsnCAddress.clear();
    initListeners();

    autostart = config->getint("main:autostart", 1) != 0 || autostartFlag;
    const int startMode = nvm ? 1 : config->getint("main:startupMode", 0);
    pOrqZb = pLocalNode->getOrqZbIf();
    pOrqDb = pOrqZb->getDb();
    pOrqDb->setStartModeSetting(startMode);

    pXMLMsgComposer->enableNamespaces(config->getint("main:namespaces", 1) != 0);
    localRegToDAnnceEnabled = config->getint("main:localRegToDAnnce", 1) != 0;
    useDefaultNWKRootURI = config->getint("RESTBroker:UseDefaultNWKRootURI", 1) != 0;
    ORQ_LOG(*pLogger, DEBUG, "init - localRegToDAnnceEnabled = %d", localRegToDAnnceEnabled);
    ORQ_LOG(*pLogger, DEBUG, "init - useDefaultNWKRootURI = %d", useDefaultNWKRootURI);
    ORQ_LOG(*pLogger, DEBUG, "init - autostart = %d", autostart);

    wsncAttached.store(false);
    numWSNConnctionsFromWsnc.store(0);
    customizedCallbackIdCounter = 0;
    isAMLocallyEnabled = false;
    isFMLocallyEnabled = false;

    createRootResources();
    std::string netName = "default";
    if (useDefaultNWKRootURI) {
        ORQ_LOG(*pLogger, DEBUG, "init - invoke createNetResources - default -");
    } else {
        netName.clear();
        StartupAttributeInfo* set = pLocalNode->readStartupAttributeSet(0);
        for (int i = 0; i < 8; ++i) {
            char hex[3];
            std::snprintf(hex, sizeof(hex), "%02x", set != nullptr ? set->extendedPANId[i] : 0);
            netName += hex;
        }
        ORQ_LOG(*pLogger, DEBUG, "init - invoke createNetResources - %s -", netName.c_str());
    }
    resources.net = createNetResources(netName);
    createIBResources();
    ORQ_LOG(*pLogger, DEBUG, "init - invoke createIBResources for root path\r");
    resources.localNode = createNodeResources(resources.net, nullptr);
    resources.callbacks = pRESTServer->findResource(resources.net, "callbacks");
}

void RESTBroker::connectLocalNode() {
    ORQ_LOG(*pLogger, DEBUG, "connectLocalNode");
    pLocalNode =
        givenAgents.localNode != nullptr ? givenAgents.localNode : LocalNodeT::getLocalNode();
    pDAgent = givenAgents.discovery;
    pSAgent = givenAgents.service;
    pMngmtAgent = givenAgents.management;
}

void RESTBroker::initAgents() {
    ORQ_LOG(*pLogger, DEBUG, "initAgents");
    if (pDAgent == nullptr) {
        pDAgent = pLocalNode->getDiscoveryAgent();
    }
    if (pSAgent == nullptr) {
        pSAgent = pLocalNode->getServiceAgent();
    }
    if (pMngmtAgent == nullptr) {
        pMngmtAgent = pLocalNode->getManagementAgent();
    }
    pDAgent->init();
    pDAgent->initDAListeners();
    pSAgent->init();
    // Every received message goes to the event stream, whether or not a listener wants it.
    pSAgent->setReceivedTap([this](const Message& msg) { publishMessage(msg); });
    pMngmtAgent->init();
    // start() empties the database when it does not use the module's stored settings: the
    // discovery agent then re-reads its settings and forgets its dead nodes.
    DiscoveryAgentT* discovery = pDAgent;
    pLocalNode->setRestartHook([discovery] { discovery->networkRestarted(); });
}

void RESTBroker::start(std::function<void()> hook) {
    ORQ_LOG(*pLogger, DEBUG, "start");
    beforeStart = std::move(hook);
    autorun();
    pRESTServer->start();
}

void RESTBroker::autorun() {
    ORQ_LOG(*pLogger, DEBUG, "autorun");
    initAgents();

    LocalNodeT::CreateCallbackCtxt statusCtx(-1, this, nullptr,
                                             &RESTBroker::gwStatusChanged_gwDescriptor_NtfCb);
    LocalNodeT::CreateCallbackRspCtxt statusRsp(-1, this, &RESTBroker::gwDescriptorLocal_RspCb,
                                                nullptr);
    pLocalNode->createCallback(&statusCtx, &statusRsp);

    if (localRegToDAnnceEnabled) {
        DiscoveryAgentT::StartAnnouncementsModeCtxt ctx(
            -1, this, &RESTBroker::wsnNodesList_StartAnnceMode_RspCb,
            &RESTBroker::wsnNodeAnnce_NtfCb);
        if (pDAgent->startAnnouncementsMode(&ctx) != AGENT_SUCCESS) {
            ORQ_LOG(*pLogger, ERROR, "autorun - ERROR invoking startAnnouncementsMode locally");
        } else {
            isAMLocallyEnabled = true;
        }
    }
    DiscoveryAgentT::StartFreshnessModeCtxt freshCtx(
        -1, this, &RESTBroker::wsnNodesList_StartFreshnessMode_RspCb,
        &RESTBroker::wsnNodeFreshnessAnnce_NtfCb);
    if (pDAgent->startFreshnessMode(&freshCtx) != AGENT_SUCCESS) {
        ORQ_LOG(*pLogger, ERROR, "autorun - ERROR invoking startFreshnessMode locally");
    } else {
        isFMLocallyEnabled = true;
    }

    ORQ_LOG(*pLogger, DEBUG, "autorun - setup a default Simple Descriptor");
    ServiceAgentT::AddServiceCtxt serviceCtx(-1, this, &RESTBroker::lndServicesList_RspCb, nullptr);
    pSAgent->addDefaultService(&serviceCtx);
    if (beforeStart) {
        beforeStart();
    }

    if (autostart) {
        ORQ_LOG(*pLogger, INFO, "autostart enabled -> Execute LocalNode start");
        LocalNodeT::StartGatewayDeviceCtxt ctx(-1, this, &RESTBroker::startup_RspCb, nullptr);
        pLocalNode->startGatewayDevice(4294967295UL, nullptr, &ctx);
    } else {
        ORQ_LOG(*pLogger, INFO,
                "autorun disabled -> Waiting for startup request (calling a reset to init)");
        pOrqZb->ZDO_RESET_request(ZB_RESET_OPT_RESET);
    }
}

void RESTBroker::stop() {
    {
        // Under `mux`, where the gateway status event starts the task: none starts after this.
        std::lock_guard<std::mutex> lock(mux);
        stopping.store(true);
    }
    tasks.wsnc.stop();
    pRESTServer->stopListeners();
}

// --- Tree building ---

void RESTBroker::onTreeThread(std::function<void()> fn) {
    pRESTServer->runOnLoop(std::move(fn));
}

void RESTBroker::createResources(Resource* parent, const RBResourceDescriptor* table) {
    ORQ_LOG(*pLogger, DEBUG, "createResources (%s)",
            parent == nullptr || parent->uri.empty() ? "/" : parent->uri.str().c_str());
    for (const RBResourceDescriptor* row = table; !row->path.empty(); ++row) {
        pRESTServer->createResource(parent, row, static_cast<ResourceHandler*>(this), 0);
    }
}

Resource* RESTBroker::createFolder(Resource* parent, const char* name, RBHandler handler,
                                   intptr_t data) {
    auto* resource =
        new Resource(static_cast<ResourceDescriptor*>(new RBResourceDescriptor(name, handler)),
                     static_cast<ResourceHandler*>(this), data);
    pRESTServer->registerResource(resource, parent);
    return resource;
}

Resource* RESTBroker::createFolder(Resource* parent, const char* name,
                                   const RBResourceDescriptor* table, intptr_t data) {
    int len = 0;
    while (!table[len].path.empty()) {
        ++len;
    }
    ORQ_LOG(*pLogger, DEBUG, "createFolder: rb len = %d -> value %s", len, name);
    return createFolder(parent, name, table[len].callback, data);
}

void RESTBroker::createRootResources() {
    createResources(pRESTServer->getRoot(), rootDesc);
}

Resource* RESTBroker::createNetResources(const std::string& networkName) {
    Resource* root = pRESTServer->getRoot();
    Resource* netRoot = pRESTServer->findResource(root, "net");
    Resource* netFolder = createFolder(netRoot, networkName.c_str(), RBHandler(nullptr));
    createResources(netFolder, netDesc);
    Resource* all = pRESTServer->findResource(netFolder, "allwsnnodes");
    all->data = 65535;
    createResources(all, allnNodeDesc);
    createResources(pRESTServer->findResource(netFolder, "ib"), ibNetDesc);
    createResources(pRESTServer->findResource(root, "localnode"), lnNodeDescBC);
    return netFolder;
}

void RESTBroker::createIBResources() {
    Resource* ib = pRESTServer->findResource(pRESTServer->getRoot(), "ib");
    Resource* folder = createFolder(ib, "00", RBHandler(nullptr));
    createResources(folder, ibRootDesc);
}

Resource* RESTBroker::createNodeResources(Resource* netFolder, Node* node) {
    if (node == nullptr) {
        Resource* local = pRESTServer->findResource(netFolder, "localnode");
        createResources(local, lnNodeDesc);
        Resource* all = pRESTServer->findResource(local, "allservices");
        createResources(all, allServicesDesc);
        createResources(pRESTServer->findResource(all, "wsnconnection"), allServicesConnDesc);
        Resource* services = pRESTServer->findResource(local, "services");
        Resource* ep = createFolder(services, "00", servicesDesc, 0);
        createResources(ep, servicesDesc);
        createResources(pRESTServer->findResource(ep, "wsnconnection"), connDesc);
        return local;
    }
    const unsigned short nwk = node->get_nwk_addr();
    const unsigned char* ieee = node->get_ieee_addr();
    char shortName[8];
    char ieeeName[20];
    std::snprintf(shortName, sizeof(shortName), "%04x", nwk);
    for (int i = 0; i < 8; ++i) {
        std::snprintf(ieeeName + 2 * i, 3, "%02x", ieee[i]);
    }
    ORQ_LOG(*pLogger, DEBUG, "**** createNodeResources - Node shortAddr %s - IEEEAddr %s ****",
            shortName, ieeeName);
    Resource* wsnnodes = pRESTServer->findResource(netFolder, "wsnnodes");
    if (wsnnodes == nullptr) {
        return nullptr;
    }
    Resource* byIeee = pRESTServer->findResource(wsnnodes, ieeeName);
    if (byIeee != nullptr) {
        // Known node: its folder by short address goes only if the address changed (a node
        // announced again keeps it, so that discovering thousands of nodes never rebuilds).
        char oldName[8];
        std::snprintf(oldName, sizeof(oldName), "%04x", static_cast<unsigned>(byIeee->data));
        Resource* old = std::strcmp(oldName, shortName) != 0
                            ? pRESTServer->findResource(wsnnodes, oldName)
                            : nullptr;
        if (old != nullptr) {
            pRESTServer->removeResource(old);
        }
    } else {
        byIeee = createFolder(wsnnodes, ieeeName, nodeDesc, nwk);
        createResources(byIeee, nodeDesc);
    }
    byIeee->data = nwk;
    Resource* byShort = pRESTServer->findResource(wsnnodes, shortName);
    if (byShort == nullptr) {
        byShort = createFolder(wsnnodes, shortName, nodeDesc, nwk);
        createResources(byShort, nodeDesc);
    }
    byShort->data = nwk;
    Node* root = pOrqDb != nullptr ? pOrqDb->getRoot() : nullptr;
    if (root != nullptr && root->get_nwk_addr() == nwk && resources.localNode != nullptr) {
        resources.localNode->data = nwk;
    }
    return byShort;
}

void RESTBroker::pruneNodeFoldersLater() {
    Resource* net = resources.net;
    onTreeThread([this, net] {
        Resource* wsnnodes = pRESTServer->findResource(net, "wsnnodes");
        if (wsnnodes == nullptr) {
            return;
        }
        std::vector<Resource*> stale;
        {
            std::lock_guard<std::recursive_mutex> dbLock(pOrqDb->mutex());
            for (Resource* folder : wsnnodes->children) {
                const Node* node =
                    pOrqDb->findNodeByNwkAddr(static_cast<unsigned short>(folder->data));
                char shortName[8] = "";
                char ieeeName[20] = "";
                if (node != nullptr) {
                    std::snprintf(shortName, sizeof(shortName), "%04x", node->get_nwk_addr());
                    for (int i = 0; i < 8; ++i) {
                        std::snprintf(ieeeName + 2 * i, 3, "%02x", node->get_ieee_addr()[i]);
                    }
                }
                if (folder->name() != shortName && folder->name() != ieeeName) {
                    stale.push_back(folder);
                }
            }
        }
        for (Resource* folder : stale) {
            ORQ_LOG(*pLogger, DEBUG, "pruneNodeFolders - %s is no longer a node",
                    folder->name().c_str());
            forgetResources(folder);
            pRESTServer->removeResource(folder);
        }
    });
}

void RESTBroker::createCallbackResources(Resource* callbacksResource, const uriListener_t& listener,
                                         RBURIListenerList* list) {
    ORQ_LOG(*pLogger, DEBUG, "createCallbackResources - Callback ID: %s ", listener.id.c_str());
    if (callbacksResource == nullptr ||
        pRESTServer->findResource(callbacksResource, listener.id) != nullptr) {
        return;
    }
    createFolder(callbacksResource, listener.id.c_str(), &RESTBroker::cbCallback_Req,
                 reinterpret_cast<intptr_t>(list));
}

void RESTBroker::syncCallbackResources(Resource* callbacksResource, RBURIListenerList* list) {
    if (callbacksResource == nullptr) {
        return;
    }
    std::vector<Resource*> stale;
    for (Resource* child : callbacksResource->children) {
        if (child->data == reinterpret_cast<intptr_t>(list) && !list->hasListener(child->name())) {
            stale.push_back(child);
        }
    }
    for (Resource* child : stale) {
        pRESTServer->removeResource(child);
    }
}
