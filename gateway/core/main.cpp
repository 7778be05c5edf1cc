// orq: ZigBee Network Device - Gateway. Process entry, command line and orderly stop.

#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "CLocalNode.h"
#include "CServiceAgent.h"
#include "ConfigurationRepository.h"
#include "StopSignal.h"

namespace {
const char kProgramName[] = "orq";
const char kVersion[] = "5.3.15";

// Exit statuses of the process.
constexpr int kExitSigaction = -1;  // 255
constexpr int kExitConfig = 3;
constexpr int kExitStopped = 4;
constexpr int kExitUsage = 5;
constexpr int kExitVersion = 6;
}  // namespace

// Receives the local node's answers until the REST broker does (the broker's issues replace
// it with RESTBroker and move the automatic start into RESTBroker::autorun).
class EntryHandler {
  public:
    void* startup_RspCb(unsigned char commandStatus, int sessionId, RPCReqStatus* status) {
        (void)sessionId;
        if (status->getReturnValue() != AGENT_SUCCESS) {
            std::printf("startup - ERROR: %s (command status 0x%02x)\n",
                        AgentErrorMessages::Instance()->getErrorMessage(status->getReturnValue()),
                        commandStatus);
            std::fflush(stdout);
        }
        return nullptr;
    }
    void* addService_RspCb(SimpleDescriptor* sd, int sessionId, RPCReqStatus* status) {
        (void)sd;
        (void)sessionId;
        if (status->getReturnValue() != AGENT_SUCCESS) {
            std::printf("addDefaultService - ERROR: %s\n",
                        AgentErrorMessages::Instance()->getErrorMessage(status->getReturnValue()));
            std::fflush(stdout);
        }
        return nullptr;
    }
};
using EntryLocalNode = LocalNode<EntryHandler>;

const char* config_filename = "config.ini";
const char* device_url = "zigbee:///dev/ttyUSB0?dongle=ezsp";
const char* WSN_Id = "";
unsigned char verbose = 0;
ConfigurationRepository* confrep = nullptr;
EntryLocalNode* pLocalNode = nullptr;

static void showHelp() {
    std::puts("Usage: orq [options...] <device url>");
    std::puts("Options:");
    std::printf("  %-19s%s\n", "-h", "Show this information");
    std::printf("  %-19s%s\n", "-c <filename>",
                "Main configuration filename (default: \"config.ini\"");
    std::printf("  %-19s%s\n", "-a",
                "If present, create the network on startup (ignore config.ini setting)");
    std::printf("  %-19s%s\n", "-m", "If present, use the NVM setting (ignore config.ini setting)");
    std::printf("  %-19s%s\n", "-d", "Specify the device url");
    std::printf("  %-19s%s\n", "-n <WSN name>", "WSN name (i.e. QLM ethernet MAC address) ");
    std::printf("  %-19s%s\n", "-v", "Be verbose.");
    std::printf("  %-19s%s\n", "-V", "Show the program version and quit.");
    std::puts("");
    std::fflush(stdout);
}

static void showVersion() {
    std::printf("%s version %s\n", kProgramName, kVersion);
    std::printf("ORQ for ZigBee networks\n");
    std::fflush(stdout);
}

// The orderly stop, on the main thread once SIGINT or SIGTERM has arrived.
static void terminate_process() {
    // The local node closes the co-processor link. Extension point: destroy the REST broker
    // here once it exists.
    if (pLocalNode != nullptr) {
        pLocalNode->stop();
    }
    std::fflush(stdout);
    std::exit(kExitStopped);
}

int main(int argc, char* argv[]) {
    if (!StopSignal::install()) {
        std::fputs("ERROR: returned by sigaction\n", stderr);
        return kExitSigaction;
    }

    bool autostart = false;
    bool nvm = false;
    opterr = 1;
    int opt;
    while ((opt = getopt(argc, argv, "c:n:ad:hmvV")) != -1) {
        switch (opt) {
            case 'h':
                showHelp();
                return kExitUsage;
            case 'c':
                config_filename = optarg;
                break;
            case 'a':
                autostart = true;
                break;
            case 'm':
                nvm = true;
                break;
            case 'd':
                device_url = optarg;
                break;
            case 'n':
                WSN_Id = optarg;
                break;
            case 'v':
                verbose = 1;
                break;
            case 'V':
                showVersion();
                return kExitVersion;
            default:
                showHelp();
                return kExitUsage;
        }
    }
    if (optind < argc) {
        device_url = argv[optind];
    }

    confrep = ConfigurationRepository::instance(std::string(config_filename));
    if (!confrep->load()) {
        std::printf("ERROR: Loading configuration file %s\n", config_filename);
        std::fflush(stdout);
        return kExitConfig;
    }
    std::printf("ZigBee Network Device - Gateway (version %s)\n", kVersion);
    std::fflush(stdout);

    pLocalNode = EntryLocalNode::getLocalNode();
    pLocalNode->init(device_url);
    pLocalNode->setWSNId(WSN_Id);

    // The local-node step of the broker's automatic start, until the broker does it: the
    // service agent's default service (the start-up chain writes at least one simple
    // descriptor), then the start with no time-out or a reset that waits for one.
    static EntryHandler entryHandler;
    ServiceAgent<EntryHandler>* serviceAgent = pLocalNode->getServiceAgent();
    serviceAgent->init();
    ServiceAgent<EntryHandler>::AddServiceCtxt serviceCtx(-1, &entryHandler,
                                                          &EntryHandler::addService_RspCb, nullptr);
    serviceAgent->addDefaultService(&serviceCtx);
    pLocalNode->getNetDb()->setStartModeSetting(nvm ? 1 : confrep->getint("main:startupMode", 0));
    if (autostart || confrep->getint("main:autostart", 1) != 0) {
        EntryLocalNode::StartGatewayDeviceCtxt ctx(-1, &entryHandler, &EntryHandler::startup_RspCb,
                                                   nullptr);
        pLocalNode->startGatewayDevice(4294967295UL, nullptr, &ctx);
    } else {
        pLocalNode->getOrqZbIf()->ZDO_RESET_request(ZB_RESET_OPT_RESET);
    }
    // Extension point: create, initialise (autostart, nvm) and start the REST broker here; its
    // poll loop serves HTTP and returns on a stop signal. Until it exists, the main thread
    // only waits for one.
    StopSignal::wait();
    terminate_process();
}
