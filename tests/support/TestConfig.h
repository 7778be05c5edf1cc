#ifndef ORQ_TESTS_SUPPORT_TESTCONFIG_H
#define ORQ_TESTS_SUPPORT_TESTCONFIG_H

#include <memory>
#include <string>

#include "ConfigurationRepository.h"
#include "support/TempFile.h"

// A configuration repository loaded from a text written to a temporary file.
class TestConfig {
  public:
    explicit TestConfig(const std::string& text)
        : file(text), path(file.path()), repo(std::make_unique<ConfigurationRepository>(path)) {
        loaded = repo->load();
    }
    ConfigurationRepository* get() { return repo.get(); }

    TempFile file;
    const std::string path;
    bool loaded = false;

  private:
    std::unique_ptr<ConfigurationRepository> repo;
};

#endif
