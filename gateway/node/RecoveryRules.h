#ifndef ORQ_RECOVERYRULES_H
#define ORQ_RECOVERYRULES_H

// The rules the module supervisor applies, kept apart from its thread so that they can be
// checked with time points of the caller's choosing: the reconnect back-off and the count of
// missed confirms. Neither class locks: the supervisor owns them under its own mutex.

#include <chrono>
#include <deque>
#include <string>

class ConfigurationRepository;

using RecoveryClock = std::chrono::steady_clock;

// The [Recovery] keys (docs/recovery.md), with their defaults.
struct RecoverySettings {
    bool enabled = true;           // Recovery:enabled
    int backoffFirstMs = 1000;     // Recovery:backoffFirstMs
    int backoffMaxMs = 30000;      // Recovery:backoffMaxMs
    int confirmTimeoutMs = 10000;  // Recovery:confirmTimeoutMs
    int missedConfirms = 3;        // Recovery:missedConfirms
    int probePeriodSeconds = 60;   // Recovery:probePeriod (0: no probe)
    int restartTimeoutMs = 30000;  // Recovery:restartTimeoutMs
    int startMode = 1;             // Recovery:startMode
    // Recovery:resetLine: the board's reset control file, written when a hung module does not
    // answer its soft reset within Recovery:resetTimeoutMs (empty: never).
    std::string resetLine = kBoardResetLine;
    int resetTimeoutMs = 5000;  // Recovery:resetTimeoutMs

    static constexpr const char* kBoardResetLine = "/sys/devices/platform/zigbee-gpio.0/cmd";

    // Reads the section; values out of range fall back to the defaults above.
    static RecoverySettings fromConfig(ConfigurationRepository* config);
};

// Reconnect delays: the first delay, doubled after each failed attempt, never above the cap.
class Backoff {
  public:
    Backoff(int firstMs, int maxMs);
    // The delay before the next attempt; the one after it is twice as long (capped).
    std::chrono::milliseconds next();
    // After a success: the next delay is the first one again.
    void reset();

  private:
    int firstMs;
    int maxMs;
    int currentMs;
};

// Requests the module answers itself whatever the radio does (data requests, attribute reads)
// each get a deadline; requests that only a remote node answers are never given one. Anything
// heard from the module proves it alive: it settles every outstanding request and clears the
// count of misses. Every deadline that passes with nothing heard is a miss; `missed`
// consecutive misses mean the module hangs.
class ConfirmWatch {
  public:
    ConfirmWatch(std::chrono::milliseconds timeout, int missedLimit);
    void sent(RecoveryClock::time_point now);
    void heard();
    // Counts the deadlines passed at `now`; true once the limit of misses is reached.
    bool expire(RecoveryClock::time_point now);
    int misses() const { return missed; }
    int outstanding() const { return static_cast<int>(deadlines.size()); }
    // The earliest deadline, or the time point's maximum when nothing is outstanding.
    RecoveryClock::time_point nextDeadline() const;
    void clear();

  private:
    std::chrono::milliseconds timeout;
    int missedLimit;
    int missed = 0;
    std::deque<RecoveryClock::time_point> deadlines;
};

// Resets the board through its reset line: writes "reset" to `path` as one write, the way a
// shell's echo would, without creating the file. False with the reason in `why` when the file
// is absent or cannot be written.
bool writeResetLine(const std::string& path, std::string& why);

#endif
