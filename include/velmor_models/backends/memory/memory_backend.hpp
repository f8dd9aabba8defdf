#pragma once
// The in-memory reference store behind an alias (`memory:`): MemoryStore as a Backend,
// for tests that compare stores or need no database.

#include "velmor_models/backends/backend.hpp"

namespace velmor_models::backends {

class MemoryBackend : public Backend {
 public:
  explicit MemoryBackend(std::string alias) : alias_(std::move(alias)) {}
  std::vector<velmor_glue::Data> query(const QuerySetReader& qs) override;
  std::int64_t count(const QuerySetReader& qs) override;
  boost::asio::awaitable<std::vector<velmor_glue::Data>> aquery(const QuerySetReader& qs) override;
  boost::asio::awaitable<std::int64_t> acount(const QuerySetReader& qs) override;
  /// Nothing to create: records are kept per alias and table.
  void create_table(const classes::model::ModelClass& cls,
                    const std::vector<std::string>& indexed_fields) override;
  void insert(const classes::model::ModelClass& cls,
              std::span<const boost::json::object> records) override;

 private:
  std::string alias_;
};

}  // namespace velmor_models::backends
