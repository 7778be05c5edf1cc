#ifndef ORQ_TESTS_NODE_TESTCONFIG_H
#define ORQ_TESTS_NODE_TESTCONFIG_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "ConfigurationRepository.h"

// A configuration repository loaded from a text written to a temporary file.
class TestConfig {
  public:
    explicit TestConfig(const std::string& text) {
        char name[] = "/tmp/orq_node_cfgXXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (fd >= 0) {
            (void)!write(fd, text.data(), text.size());
            close(fd);
        }
        repo = std::make_unique<ConfigurationRepository>(path);
        loaded = repo->load();
    }
    ~TestConfig() { std::remove(path.c_str()); }
    ConfigurationRepository* get() { return repo.get(); }
    bool loaded = false;
    std::string path;

  private:
    std::unique_ptr<ConfigurationRepository> repo;
};

#endif
