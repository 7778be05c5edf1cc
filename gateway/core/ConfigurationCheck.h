#ifndef ORQ_CONFIGURATION_CHECK_H
#define ORQ_CONFIGURATION_CHECK_H

#include <string>
#include <vector>

class ConfigurationRepository;

// What a value must be for orq to take it as written.
enum class ConfigurationRule {
    Integer,  // a whole number (as strtol with base 0 reads it) from `low` to `high`
    Switch,   // 0 or 1
    Channel,  // 0 (every channel) or a channel 11..26; the start refuses anything else
    Bytes,    // exactly `high` hexadecimal bytes separated by blanks
    Ports,    // listening ports: [address:]port[s], separated by commas or blanks
    File,     // the name of a file that can be read
    Text,     // anything
};

// One section and key that orq reads. An `indexed` key is followed by an entry index of two
// decimal digits or more (TCKeyTable:IEEEAddress00, TCKeyTable:IEEEAddress01, ...). A
// `required` key that is absent stops the start. A key with a `switchKey` is read only while
// that switch is 1, and is then needed.
struct ConfigurationKey {
    const char* section;
    const char* key;
    bool indexed;
    ConfigurationRule rule = ConfigurationRule::Text;
    long low = 0;
    long high = 0;
    bool required = false;
    const char* switchKey = nullptr;  // section and key, as in RESTServer:ssl
};

// Every section and key that orq reads, in the order of the README's configuration table: the
// one list that the start-up warnings and a configuration check go by.
const std::vector<ConfigurationKey>& knownConfigurationKeys();

// The known key named section:key (any case; an indexed key with its entry index), or null.
const ConfigurationKey* findConfigurationKey(const std::string& name);

// What is wrong with `value` for `key` ("not 1 to 256", ...), or empty when orq takes it as
// written. A null `value` is an absent key. Reads a File's file to see that it can be read.
std::string valueProblem(const ConfigurationKey& key, const char* value);

// A section or key of a configuration file that orq does not read, or a value it does not take.
struct ConfigurationProblem {
    std::string file;
    int line = 0;            // 1-based line in the file; 0 when the file does not show it
    std::string section;     // as the file writes it; empty for a key before any section
    std::string key;         // as the file writes it; empty when the section is unknown
    std::string suggestion;  // the nearest known name ("RESTServer:serverPorts"), or empty
    std::string value;       // a known key's value as written, when `problem` is set
    std::string problem;     // what is wrong with the value; empty for an unknown name

    // "WARNING: <file>:<line>: unknown key <section>:<key> - did you mean <suggestion>?", or
    // for a value "ERROR: <file>:<line>: <section>:<key> = <value> - <problem>".
    std::string text() const;
};

// The unknown sections and keys of the file that `config` loaded, each once, in the order of
// the file (a section that holds no key sets nothing and is passed over). Names are compared
// without regard to case, as the repository reads them; a suggestion is given only when a known
// name is close (a few letters apart, or the same key in another section). Reads the file again for
// the line numbers; the loaded values are not touched. Main thread, after load().
std::vector<ConfigurationProblem> checkConfiguration(ConfigurationRepository& config);

// The values of known keys that orq would not take as written (valueProblem()), and the
// required keys that are absent, in the order of the file, then the absent ones. Main thread,
// after load().
std::vector<ConfigurationProblem> checkConfigurationValues(ConfigurationRepository& config);

#endif
