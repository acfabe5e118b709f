#pragma once

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Sets environment variables for one scope, as a user's shell would; a null
// value unsets one.
class Environment {
  public:
    Environment(std::initializer_list<std::pair<const char*, const char*>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            set(name, value);
        }
    }
    // Backwards, so that a name set twice gets its first saved value back.
    ~Environment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            set(it->first.c_str(), it->second ? it->second->c_str() : nullptr);
        }
    }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

  private:
    static void set(const char* name, const char* value) {
#ifdef _WIN32
        ::_putenv_s(name, value ? value : ""); // empty unsets it
#else
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
#endif
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};
