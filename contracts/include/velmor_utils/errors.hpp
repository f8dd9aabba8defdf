#pragma once
// The error kinds of the library. Every error it raises derives from Error, so an
// application can catch "anything from this library" in one place; the kinds stay
// distinct so that callers and tests can tell a bad kind of argument (TypeError) from a
// bad value (ValueError), a missing key (KeyError) or a missing attribute
// (AttributeError).

#include <stdexcept>
#include <string>
#include <string_view>

namespace velmor_utils::errors {

/// The root of every error the library raises.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TypeError : public Error {
 public:
  using Error::Error;
};

class ValueError : public Error {
 public:
  using Error::Error;
};

/// A mapping lookup failed; the message is the quoted key, as the runtime prints it.
class KeyError : public Error {
 public:
  explicit KeyError(std::string_view key) : Error(quoted(key)), key_(key) {}
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

class AttributeError : public Error {
 public:
  using Error::Error;
};

/// Validation of named values failed (a model or a schema refused its data).
class ValidationError : public ValueError {
 public:
  using ValueError::ValueError;
};

}  // namespace velmor_utils::errors
