// orq: ZigBee Network Device - Gateway. Process entry, command line and orderly stop.

#include <getopt.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CRESTBroker.h"
#include "ConfigurationCheck.h"
#include "ConfigurationRepository.h"
#include "ModuleSupervisor.h"
#include "ServiceManagerLink.h"
#include "StopSignal.h"
#include "StoredNetwork.h"

namespace {
const char kProgramName[] = "orq";
const char kVersion[] = "5.3.15";

// Exit statuses of the process.
constexpr int kExitSigaction = -1;  // 255
constexpr int kExitConfig = 3;
constexpr int kExitStopped = 4;
constexpr int kExitUsage = 5;
constexpr int kExitVersion = 6;
constexpr int kExitConfigProblems = 10;
constexpr int kExitStorage = 11;
}  // namespace

// The broker lives until the very end of the process. It is made by the first statement of
// main(), before the local node and the agents, so std::exit destroys it after them: no agent
// thread or timer can reach a broker already gone.
static std::unique_ptr<RESTBroker>& broker() {
    static std::unique_ptr<RESTBroker> instance;
    return instance;
}

const char* config_filename = "config.ini";
const char kBuiltInDeviceUrl[] = "zigbee:///dev/ttyUSB0?dongle=ezsp";
const char* device_url = kBuiltInDeviceUrl;
const char* WSN_Id = "";
unsigned char verbose = 0;
ConfigurationRepository* confrep = nullptr;
RESTBroker::LocalNodeT* pLocalNode = nullptr;

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
    std::printf("  %-19s%s\n", "--check-config",
                "Check the configuration file (-c), print every problem and quit.");
    std::puts("");
    std::fflush(stdout);
}

// orq --check-config: the configuration read as a start reads it, every problem printed;
// no device and no port is opened.
static int checkConfigurationFile(ConfigurationRepository& config) {
    std::vector<ConfigurationProblem> problems = checkConfiguration(config);
    for (ConfigurationProblem& p : checkConfigurationValues(config)) {
        problems.push_back(std::move(p));
    }
    // In the order of the file; what the file does not place (an absent key) last.
    std::stable_sort(problems.begin(), problems.end(),
                     [](const ConfigurationProblem& a, const ConfigurationProblem& b) {
                         return (a.line == 0 ? INT_MAX : a.line) < (b.line == 0 ? INT_MAX : b.line);
                     });
    for (const ConfigurationProblem& p : problems) {
        std::printf("%s\n", p.text().c_str());
    }
    if (problems.empty()) {
        std::printf("%s: configuration OK\n", config.filename().c_str());
    } else {
        std::printf("%s: %zu problem%s\n", config.filename().c_str(), problems.size(),
                    problems.size() == 1 ? "" : "s");
    }
    std::fflush(stdout);
    return problems.empty() ? 0 : kExitConfigProblems;
}

static void showVersion() {
    std::printf("%s version %s\n", kProgramName, kVersion);
    std::printf("ORQ for ZigBee networks\n");
    std::fflush(stdout);
}

// Brings the co-processor back after it went away, hung or reset itself (docs/recovery.md).
static std::unique_ptr<ModuleSupervisor>& supervisor() {
    static std::unique_ptr<ModuleSupervisor> instance;
    return instance;
}

// The stored copy of the network (Storage:database), when configured.
static std::unique_ptr<StoredNetwork>& storedNetwork() {
    static std::unique_ptr<StoredNetwork> instance;
    return instance;
}

// Opens and loads the stored network before the co-processor link starts, so that nothing
// the module reports can be lost or undone by the load; false when the file cannot be kept.
static bool loadStoredNetwork(ZbNetDb* db) {
    std::string path = confrep->getstring("Storage:database", "");
    if (path.empty()) {
        return true;
    }
    // A relative path is read from the directory of the configuration file.
    const std::string& file = confrep->filename();
    if (path[0] != '/' && file.find('/') != std::string::npos) {
        path = file.substr(0, file.rfind('/') + 1) + path;
    }
    std::string problem;
    storedNetwork() = StoredNetwork::open(path, *db, problem);
    if (!storedNetwork()) {
        std::fprintf(stderr,
                     "Storage: %s\nStorage: give Storage:database a file orq may create and "
                     "write, or remove the key to run without a stored network - exit\n",
                     problem.c_str());
        return false;
    }
    storedNetwork()->load();
    pLocalNode->getOrqZbIf()->setNetworkUpHook([db](const OrqZbIf::NetworkIdentity& id) {
        if (storedNetwork()->networkUp({id.extPanId, id.panId, id.channel}) && broker()) {
            broker()->rebuildNodeFolders(db);
        }
    });
    return true;
}

// The clients' registrations of the stored network made again, then kept up to date, before
// the REST server answers anyone.
static void restoreRegistrations() {
    if (!storedNetwork()) {
        return;
    }
    RESTBroker::RegistrationKeeper keeper;
    keeper.kept = [](const RESTBroker::Registration& r) {
        if (storedNetwork()) {
            storedNetwork()->registrationKept({r.id, r.method, r.path, r.query, r.body});
        }
    };
    keeper.forgotten = [](const std::string& id) {
        if (storedNetwork()) {
            storedNetwork()->registrationForgotten(id);
        }
    };
    broker()->keepRegistrations(keeper);
    std::vector<RESTBroker::Registration> stored;
    for (const StoredRegistration& r : storedNetwork()->registrations()) {
        stored.push_back({r.id, r.method, r.path, r.query, r.body});
    }
    const int back = broker()->restoreRegistrations(stored);
    if (!stored.empty()) {
        std::fprintf(stderr, "Storage: %d of %zu registrations made again\n", back, stored.size());
    }
}

// Tells systemd (when it started us, Type=notify) that the gateway is ready, its state and
// that it is alive.
static std::unique_ptr<ServiceManagerLink>& serviceManager() {
    static std::unique_ptr<ServiceManagerLink> instance;
    return instance;
}

// The orderly stop, on the main thread once SIGINT or SIGTERM has ended the poll loop: the
// broker stops its periodic notification, its deliveries and its HTTP listeners, the local
// node closes the co-processor link, and exit() then ends the agents' timers and threads
// before the broker itself and the REST client go (docs/broker.md, "Stopping").
static void terminate_process() {
    if (serviceManager()) {
        serviceManager()->stopping();
    }
    if (broker()) {
        // The listeners the stop lets go are still the clients' registrations.
        broker()->keepRegistrations({});
        broker()->stop();
    }
    if (supervisor()) {
        supervisor()->stop();
    }
    if (pLocalNode != nullptr) {
        pLocalNode->stop();
    }
    if (storedNetwork()) {
        storedNetwork()->stop();  // writes what is pending
    }
    std::fflush(stdout);
    std::exit(kExitStopped);
}

int main(int argc, char* argv[]) {
    // Replies of up to a megabyte (the node list of a large network) are made and freed on
    // every request. With the allocator's moving defaults each one was a fresh mapping or heap
    // growth, faulted in page by page and given back at once: up to 2 MB is kept for reuse.
    mallopt(M_MMAP_THRESHOLD, 2 << 20);
    mallopt(M_TRIM_THRESHOLD, 2 << 20);
    broker();
    if (!StopSignal::install()) {
        std::fputs("ERROR: returned by sigaction\n", stderr);
        return kExitSigaction;
    }

    bool autostart = false;
    bool nvm = false;
    bool checkOnly = false;
    constexpr int kCheckConfigOption = 256;
    static const option longOptions[] = {{"check-config", no_argument, nullptr, kCheckConfigOption},
                                         {nullptr, 0, nullptr, 0}};
    opterr = 1;
    int opt;
    while ((opt = getopt_long(argc, argv, "c:n:ad:hmvV", longOptions, nullptr)) != -1) {
        switch (opt) {
            case kCheckConfigOption:
                checkOnly = true;
                break;
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
    if (checkOnly) {
        return checkConfigurationFile(*confrep);
    }
    std::printf("ZigBee Network Device - Gateway (version %s)\n", kVersion);
    std::fflush(stdout);
    // A misspelt section or key would otherwise be ignored without a word.
    for (const ConfigurationProblem& problem : checkConfiguration(*confrep)) {
        std::fprintf(stderr, "%s\n", problem.text().c_str());
    }

    if (device_url == kBuiltInDeviceUrl) {  // neither -d nor a positional URL
        std::fprintf(stderr, "No device URL given: trying the built-in default \"%s\"\n",
                     device_url);
    }
    pLocalNode = RESTBroker::LocalNodeT::getLocalNode();
    ZbNetDb* db = pLocalNode->getOrqZbIf()->getDb();
    if (!loadStoredNetwork(db)) {
        return kExitStorage;
    }
    pLocalNode->init(device_url);
    pLocalNode->setWSNId(WSN_Id);

    broker().reset(new RESTBroker());
    broker()->init(autostart, nvm);
    if (storedNetwork()) {
        broker()->rebuildNodeFolders(db);
    }
    supervisor().reset(new ModuleSupervisor(pLocalNode->getOrqZbIf(), device_url,
                                            RecoverySettings::fromConfig(confrep),
                                            [] { pLocalNode->start(); }));
    supervisor()->start();
    serviceManager().reset(
        new ServiceManagerLink(pLocalNode->getOrqZbIf(), broker()->getRESTServer()));
    serviceManager()->start();
    // Serves HTTP until a stop signal ends the poll loop.
    broker()->start(restoreRegistrations);
    terminate_process();
}
