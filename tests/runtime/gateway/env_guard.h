// Sets (or unsets) environment variables for the life of a test and restores them afterwards.
#pragma once

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace quern::gateway::test {

class EnvGuard {
 public:
  EnvGuard() = default;
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;
  ~EnvGuard() {
    for (const auto& [name, old] : saved_) {
      if (old) {
        ::setenv(name.c_str(), old->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

  void set(const std::string& name, const std::optional<std::string>& value) {
    if (!saved_.contains(name)) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace quern::gateway::test
