#pragma once
// The host runtime's error kinds. Each is its own type so that callers and tests can
// tell a bad kind of argument (TypeError) from a bad value (ValueError), a missing key
// (KeyError) or a missing attribute (AttributeError).

#include <stdexcept>
#include <string>
#include <string_view>

namespace velmor_utils::errors {

class TypeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A mapping lookup failed; the message is the quoted key, as the runtime prints it.
class KeyError : public std::runtime_error {
 public:
  explicit KeyError(std::string_view key) : std::runtime_error(quoted(key)), key_(key) {}
  const std::string& key() const noexcept { return key_; }

 private:
  static std::string quoted(std::string_view key) {
    std::string s;
    s.reserve(key.size() + 2);
    s.push_back('\'');
    s.append(key);
    s.push_back('\'');
    return s;
  }
  std::string key_;
};

class AttributeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Validation of named values failed (a model or a schema refused its data).
class ValidationError : public ValueError {
 public:
  using ValueError::ValueError;
};

}  // namespace velmor_utils::errors
