#ifndef ORQ_CONFIGURATION_REPOSITORY_H
#define ORQ_CONFIGURATION_REPOSITORY_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct _dictionary_;

// The process-wide, read-only view of the main configuration file (INI format).
// Keys are "section:key", matched without regard to case. The file is loaded once
// on the main thread before other threads exist; afterwards every reader takes `mux`.
// Texts returned by getstring() belong to the dictionary and live as long as it.
class ConfigurationRepository {
  public:
    explicit ConfigurationRepository(const std::string& filename = std::string());
    ~ConfigurationRepository();
    ConfigurationRepository(const ConfigurationRepository&) = delete;
    ConfigurationRepository& operator=(const ConfigurationRepository&) = delete;

    // Points the process-wide repository at `filename` (dropping any loaded
    // dictionary). Main thread only, before any other thread exists.
    static ConfigurationRepository* instance(const std::string& filename);
    static ConfigurationRepository* instance();

    // Loads the file; false if it could not be read.
    bool load();

    // The value converted like strtol with base 0, or `def` when the key is absent.
    int getint(const char* key, int def);
    // The value text, or `def` when the key is absent.
    const char* getstring(const char* key, const char* def);
    // Reads the value (or `def`) as `count` hexadecimal numbers ("0x01 0x02 ..." or
    // "01 02 ..."), each cut to 8 bits, into out[0..count). Numbers the text does not
    // hold become 0; the text is never read past its end.
    void getHexArray(const char* key, const char* def, uint8_t* out, int count);

    // The sections and keys of the loaded file in the order the dictionary keeps them, lower
    // case as it keeps them: "section" for a section, "section:key" for a key (":key" before
    // any section). Empty before load().
    std::vector<std::string> loadedNames();

    const std::string& filename() const { return _filename; }

  private:
    const char* lookup(const char* key);

    struct _dictionary_* ini = nullptr;
    std::string _filename;
    std::mutex mux;
};

// Parses up to `count` hexadecimal byte values from `text` (see getHexArray).
void parseHexArray(const char* text, uint8_t* out, int count);

#endif
