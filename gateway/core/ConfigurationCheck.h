#ifndef ORQ_CONFIGURATION_CHECK_H
#define ORQ_CONFIGURATION_CHECK_H

#include <string>
#include <vector>

class ConfigurationRepository;

// One section and key that orq reads. An `indexed` key is followed by an entry index of two
// decimal digits or more (TCKeyTable:IEEEAddress00, TCKeyTable:IEEEAddress01, ...).
struct ConfigurationKey {
    const char* section;
    const char* key;
    bool indexed;
};

// Every section and key that orq reads, in the order of the README's configuration table: the
// one list that the start-up warnings and a configuration check go by.
const std::vector<ConfigurationKey>& knownConfigurationKeys();

// A section or key of a configuration file that orq does not read.
struct ConfigurationProblem {
    std::string file;
    int line = 0;            // 1-based line in the file; 0 when the file does not show it
    std::string section;     // as the file writes it; empty for a key before any section
    std::string key;         // as the file writes it; empty when the section is unknown
    std::string suggestion;  // the nearest known name ("RESTServer:serverPorts"), or empty

    // "WARNING: <file>:<line>: unknown key <section>:<key> - did you mean <suggestion>?"
    std::string text() const;
};

// The unknown sections and keys of the file that `config` loaded, each once, in the order of
// the file. Names are compared without regard to case, as the repository reads them; a
// suggestion is given only when a known name is close (a few letters apart, or the same key in
// another section). Reads the file again for the line numbers; the loaded values are not
// touched. Main thread, after load().
std::vector<ConfigurationProblem> checkConfiguration(ConfigurationRepository& config);

#endif
