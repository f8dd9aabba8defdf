#include "backends/postgres/statement_cache.hpp"

namespace velmor_models::backends::postgres {

std::string StatementCache::name_for(std::string_view key) const {
  std::uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
  static constexpr char hex[] = "0123456789abcdef";
  std::string base = "velmor_";
  for (int shift = 60; shift >= 0; shift -= 4) base += hex[(h >> shift) & 15];
  // Two texts of one hash: the later one takes the first free suffix.
  std::string name = base;
  for (int n = 1; names_.count(name); ++n) name = base + "_" + std::to_string(n);
  return name;
}

StatementCache::Entry& StatementCache::use(const std::string& key) {
  if (auto it = index_.find(key); it != index_.end()) {
    ++hits_;
    lru_.splice(lru_.begin(), lru_, it->second);
    return *it->second;
  }
  ++misses_;
  if (capacity_ > 0 && lru_.size() >= capacity_) forget(std::prev(lru_.end()), true);
  Entry entry{key, name_for(key)};
  names_.insert(entry.name);
  lru_.push_front(std::move(entry));
  index_.emplace(lru_.front().key, lru_.begin());
  return lru_.front();
}

StatementCache::Entry* StatementCache::find(std::string_view key, std::string_view name) noexcept {
  auto it = index_.find(key);
  if (it == index_.end() || it->second->name != name) return nullptr;
  return &*it->second;
}

void StatementCache::drop(std::string_view key, std::string_view name, bool close) {
  auto it = index_.find(key);
  if (it != index_.end() && it->second->name == name) forget(it->second, close);
}

void StatementCache::forget(std::list<Entry>::iterator it, bool close) {
  index_.erase(it->key);
  // Only a statement sent to the server has a copy there to close.
  if (close && it->sent)
    closing_.push_back(it->name);
  else
    names_.erase(it->name);
  lru_.erase(it);
}

std::vector<std::string> StatementCache::take_closing() {
  std::vector<std::string> out = std::move(closing_);
  closing_.clear();
  for (const std::string& name : out) names_.erase(name);
  return out;
}

}  // namespace velmor_models::backends::postgres
