// zbsim: stands in for the ZigBee co-processor on a pseudo-terminal.
#include <getopt.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "SimEmulator.h"

namespace {
zbsim::Emulator* gEmulator = nullptr;

void onSignal(int) {
    if (gEmulator)
        gEmulator->stop();
}

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: zbsim --network FILE --link PATH --control SOCKET [--trace] "
                 "[--reboot-ms MS] [--realistic] [--seed N] [--manual-clock] [--reset-line PATH]\n"
                 "  --network FILE    the simulated network (INI)\n"
                 "  --link PATH       symlink created to the pseudo-terminal the gateway opens\n"
                 "  --control SOCKET  UNIX socket for control commands (one line each)\n"
                 "  --trace           print every frame in and out on standard error\n"
                 "  --reboot-ms MS    time the module takes to reboot after a reset\n"
                 "  --realistic       answers take radio time (per hop, sleepy polls, jitter)\n"
                 "  --seed N          seed of jitter, frame loss and report phases (default 1)\n"
                 "  --manual-clock    time moves only with the tick command\n"
                 "  --reset-line PATH the board's reset line: a FIFO (made when PATH does not\n"
                 "                    exist) or a file; \"reset\" written to it resets the\n"
                 "                    module, even a hung one\n");
}
}  // namespace

int main(int argc, char** argv) {
    zbsim::EmulatorOptions opts;
    static const option longOpts[] = {{"network", required_argument, nullptr, 'n'},
                                      {"link", required_argument, nullptr, 'l'},
                                      {"control", required_argument, nullptr, 'c'},
                                      {"trace", no_argument, nullptr, 't'},
                                      {"reboot-ms", required_argument, nullptr, 'r'},
                                      {"realistic", no_argument, nullptr, 'R'},
                                      {"seed", required_argument, nullptr, 's'},
                                      {"manual-clock", no_argument, nullptr, 'M'},
                                      {"reset-line", required_argument, nullptr, 'L'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "n:l:c:tr:hRs:ML:", longOpts, nullptr)) != -1) {
        switch (c) {
            case 'n':
                opts.networkFile = optarg;
                break;
            case 'l':
                opts.linkPath = optarg;
                break;
            case 'c':
                opts.controlPath = optarg;
                break;
            case 't':
                opts.trace = true;
                break;
            case 'r': {
                char* end = nullptr;
                long v = std::strtol(optarg, &end, 10);
                if (!end || *end || v < 0 || v > 900) {
                    std::fprintf(stderr, "zbsim: --reboot-ms takes 0 to 900\n");
                    return 2;
                }
                opts.rebootMs = static_cast<int>(v);
                break;
            }
            case 'R':
                opts.realistic = true;
                break;
            case 'M':
                opts.manualClock = true;
                break;
            case 'L':
                opts.resetLinePath = optarg;
                break;
            case 's': {
                char* end = nullptr;
                errno = 0;
                unsigned long long v = std::strtoull(optarg, &end, 0);
                if (!end || *end || !*optarg || errno || *optarg == '-') {
                    std::fprintf(stderr, "zbsim: --seed takes a number\n");
                    return 2;
                }
                opts.seed = v;
                break;
            }
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    if (opts.networkFile.empty() || opts.linkPath.empty() || opts.controlPath.empty() ||
        optind != argc) {
        usage(stderr);
        return 2;
    }
    zbsim::Emulator emu(opts);
    std::string err;
    if (!emu.open(err)) {
        std::fprintf(stderr, "zbsim: %s\n", err.c_str());
        return 1;
    }
    gEmulator = &emu;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int rc = emu.run();
    gEmulator = nullptr;
    return rc;
}
