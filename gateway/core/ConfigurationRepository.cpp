#include "ConfigurationRepository.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <iniparser.h>
}

namespace {
const char kAbsent[] = "\x01orq-absent";
}

ConfigurationRepository::ConfigurationRepository(const std::string& filename)
    : _filename(filename) {}

ConfigurationRepository::~ConfigurationRepository() {
    if (ini != nullptr) {
        iniparser_freedict(ini);
    }
}

ConfigurationRepository* ConfigurationRepository::instance(const std::string& filename) {
    ConfigurationRepository* repo = instance();
    std::lock_guard<std::mutex> lock(repo->mux);
    if (repo->ini != nullptr) {
        iniparser_freedict(repo->ini);
        repo->ini = nullptr;
    }
    repo->_filename = filename;
    return repo;
}

ConfigurationRepository* ConfigurationRepository::instance() {
    static ConfigurationRepository repository;
    return &repository;
}

bool ConfigurationRepository::load() {
    std::lock_guard<std::mutex> lock(mux);
    dictionary* loaded = iniparser_load(_filename.c_str());
    if (loaded == nullptr) {
        return false;
    }
    if (ini != nullptr) {
        iniparser_freedict(ini);
    }
    ini = loaded;
    return true;
}

const char* ConfigurationRepository::lookup(const char* key) {
    if (ini == nullptr || key == nullptr) {
        return nullptr;
    }
    // iniparser stores names in lower case; ask for them the same way.
    std::string lowered(key);
    for (char& c : lowered) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const char* value = iniparser_getstring(ini, lowered.c_str(), kAbsent);
    return value == kAbsent ? nullptr : value;
}

std::vector<std::string> ConfigurationRepository::loadedNames() {
    std::lock_guard<std::mutex> lock(mux);
    std::vector<std::string> names;
    for (int i = 0; ini != nullptr && i < ini->size; ++i) {
        if (ini->key[i] != nullptr) {
            names.emplace_back(ini->key[i]);
        }
    }
    return names;
}

int ConfigurationRepository::getint(const char* key, int def) {
    std::lock_guard<std::mutex> lock(mux);
    const char* value = lookup(key);
    if (value == nullptr) {
        return def;
    }
    return static_cast<int>(std::strtol(value, nullptr, 0));
}

const char* ConfigurationRepository::getstring(const char* key, const char* def) {
    std::lock_guard<std::mutex> lock(mux);
    const char* value = lookup(key);
    return value == nullptr ? def : value;
}

void ConfigurationRepository::getHexArray(const char* key, const char* def, uint8_t* out,
                                          int count) {
    const char* text = getstring(key, def);
    parseHexArray(text, out, count);
}

void parseHexArray(const char* text, uint8_t* out, int count) {
    const char* p = text != nullptr ? text : "";
    for (int i = 0; i < count; ++i) {
        while (*p == ' ' || *p == '\t' || *p == ',') {
            ++p;
        }
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && std::isxdigit((unsigned char)p[2])) {
            p += 2;
        }
        unsigned value = 0;
        bool digits = false;
        while (std::isxdigit(static_cast<unsigned char>(*p))) {
            int c = std::tolower(static_cast<unsigned char>(*p));
            value =
                ((value << 4) | static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10)) & 0xFFF;
            digits = true;
            ++p;
        }
        out[i] = digits ? static_cast<uint8_t>(value & 0xFF) : 0;
        // An unreadable word yields 0; skip it so the next number is read in its place.
        while (*p != '\0' && *p != ' ' && *p != '\t' && *p != ',') {
            ++p;
        }
    }
}
