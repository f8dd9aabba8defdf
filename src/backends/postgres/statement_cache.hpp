#pragma once
// A connection's prepared statements: each named from its text and parameter types, at
// most `capacity` of them, the least recently used dropped first. The server's copies of
// dropped statements are closed later, when the connection is outside a transaction.

#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace velmor_models::backends::postgres {

class StatementCache {
 public:
  struct Entry {
    std::string key;  ///< the SQL text and the parameter types
    std::string name;
    bool sent = false;          ///< its preparation is on its way to the server
    bool prepared = false;      ///< the server has it
    bool format_known = false;  ///< the result format below was chosen from its columns
    int result_format = 0;      ///< 0 text, 1 binary
  };

  explicit StatementCache(std::size_t capacity) : capacity_(capacity) {}
  std::size_t capacity() const noexcept { return capacity_; }

  /// The entry of `key`, now the most recently used; a new one (not yet sent) when there is
  /// none, which may drop the least recently used. Counts a hit or a miss.
  Entry& use(const std::string& key);
  /// The entry of `key` named `name`, if it is still cached.
  Entry* find(std::string_view key, std::string_view name) noexcept;
  /// Drops the entry of `key` named `name`; with `close`, the server's statement is to be
  /// closed.
  void drop(std::string_view key, std::string_view name, bool close);
  /// The names of the server statements to close, handed over once.
  std::vector<std::string> take_closing();

  std::uint64_t hits() const noexcept { return hits_; }
  std::uint64_t misses() const noexcept { return misses_; }
  std::size_t size() const noexcept { return lru_.size(); }

 private:
  std::string name_for(std::string_view key) const;
  void forget(std::list<Entry>::iterator it, bool close);

  std::size_t capacity_;
  std::list<Entry> lru_;  // most recently used first
  std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
  std::unordered_set<std::string> names_;  // of cached entries and of statements to close
  std::vector<std::string> closing_;
  std::uint64_t hits_ = 0;
  std::uint64_t misses_ = 0;
};

}  // namespace velmor_models::backends::postgres
