#include "RecoveryRules.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ConfigurationCheck.h"
#include "ConfigurationRepository.h"

namespace {
// The value of `key`, or `def` when it is absent or outside the key's range in the table of
// known keys (the range that orq --check-config reports on); never below `low`.
int keyInRange(ConfigurationRepository* config, const char* key, int def, int low = 0) {
    const ConfigurationKey* known = findConfigurationKey(key);
    const int v = config->getint(key, def);
    return v < low || (known != nullptr && (v < known->low || v > known->high)) ? def : v;
}
}  // namespace

RecoverySettings RecoverySettings::fromConfig(ConfigurationRepository* config) {
    RecoverySettings s;
    s.enabled = config->getint("Recovery:enabled", 1) != 0;
    s.backoffFirstMs = keyInRange(config, "Recovery:backoffFirstMs", s.backoffFirstMs);
    s.backoffMaxMs = keyInRange(config, "Recovery:backoffMaxMs", s.backoffMaxMs, s.backoffFirstMs);
    s.confirmTimeoutMs = keyInRange(config, "Recovery:confirmTimeoutMs", s.confirmTimeoutMs);
    s.missedConfirms = keyInRange(config, "Recovery:missedConfirms", s.missedConfirms);
    s.probePeriodSeconds = keyInRange(config, "Recovery:probePeriod", s.probePeriodSeconds);
    s.restartTimeoutMs = keyInRange(config, "Recovery:restartTimeoutMs", s.restartTimeoutMs);
    s.startMode = keyInRange(config, "Recovery:startMode", s.startMode);
    s.resetLine = config->getstring("Recovery:resetLine", s.resetLine.c_str());
    s.resetTimeoutMs = keyInRange(config, "Recovery:resetTimeoutMs", s.resetTimeoutMs, 1);
    return s;
}

Backoff::Backoff(int firstMs, int maxMs)
    : firstMs(std::max(1, firstMs)),
      maxMs(std::max(this->firstMs, maxMs)),
      currentMs(this->firstMs) {}

std::chrono::milliseconds Backoff::next() {
    const int delay = currentMs;
    currentMs = currentMs > maxMs / 2 ? maxMs : currentMs * 2;
    return std::chrono::milliseconds(delay);
}

void Backoff::reset() {
    currentMs = firstMs;
}

ConfirmWatch::ConfirmWatch(std::chrono::milliseconds timeout, int missedLimit)
    : timeout(timeout), missedLimit(missedLimit) {}

void ConfirmWatch::sent(RecoveryClock::time_point now) {
    deadlines.push_back(now + timeout);
}

void ConfirmWatch::heard() {
    clear();
}

bool ConfirmWatch::expire(RecoveryClock::time_point now) {
    while (!deadlines.empty() && deadlines.front() <= now) {
        deadlines.pop_front();
        ++missed;
    }
    return missedLimit > 0 && missed >= missedLimit;
}

RecoveryClock::time_point ConfirmWatch::nextDeadline() const {
    return deadlines.empty() ? RecoveryClock::time_point::max() : deadlines.front();
}

void ConfirmWatch::clear() {
    deadlines.clear();
    missed = 0;
}

bool writeResetLine(const std::string& path, std::string& why) {
    if (path.empty()) {
        why = "no reset line is set";
        return false;
    }
    // Never blocks: a FIFO that nobody reads is refused (ENXIO) rather than waited on.
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    static const char kCommand[] = "reset\n";
    const ssize_t n = write(fd, kCommand, sizeof(kCommand) - 1);
    const int writeErrno = errno;
    const bool closed = close(fd) == 0;
    if (n != static_cast<ssize_t>(sizeof(kCommand) - 1)) {
        why = n < 0 ? std::strerror(writeErrno) : "short write";
        return false;
    }
    if (!closed) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}
