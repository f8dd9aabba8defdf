#include "velmor_models/backends/memory/memory_backend.hpp"

#include <boost/json/serialize.hpp>

#include "backends/stored_value.hpp"
#include "velmor_models/backends/database_url.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends {
namespace {

using querysets::executor::MemoryStore;

template <class T>
boost::asio::awaitable<T> ready(T value) {
  co_return value;
}

template <class T>
boost::asio::awaitable<T> rethrow(std::exception_ptr error) {
  std::rethrow_exception(error);
  co_return T{};
}

std::string table_of(const classes::model::ModelClass& cls) {
  const auto& t = cls.table_name();
  if (!t.is_string() || t.get_string().empty())
    throw velmor_utils::errors::ValueError("model " + cls.name() + " has no table name");
  return std::string(t.get_string());
}

}  // namespace

std::vector<velmor_glue::Data> MemoryBackend::query(const QuerySetReader& qs) {
  return MemoryStore::instance().select(qs);  // which checks it
}

std::int64_t MemoryBackend::count(const QuerySetReader& qs) {
  return static_cast<std::int64_t>(query(qs).size());
}

// The records are in memory: the answer is ready when called; errors wait for the await.
boost::asio::awaitable<std::vector<velmor_glue::Data>> MemoryBackend::aquery(
    const QuerySetReader& qs) {
  try {
    return ready(query(qs));
  } catch (...) {
    return rethrow<std::vector<velmor_glue::Data>>(std::current_exception());
  }
}

boost::asio::awaitable<std::int64_t> MemoryBackend::acount(const QuerySetReader& qs) {
  try {
    return ready(count(qs));
  } catch (...) {
    return rethrow<std::int64_t>(std::current_exception());
  }
}

void MemoryBackend::create_table(const classes::model::ModelClass& cls,
                                 const std::vector<std::string>& indexed_fields) {
  (void)table_of(cls);
  for (const auto& name : indexed_fields) (void)field_of(cls, name);
}

namespace {

// A checked value as a database store gives it back: booleans as booleans, BINARY as
// canonical base64, NUMBER as a real unless a double cannot hold the integer exactly.
boost::json::value as_stored(const classes::model::FieldDecl& f, const boost::json::value& v) {
  using classes::model::CoreTypes;
  if (v.is_null()) return v;
  if (f.type == CoreTypes::BOOLEAN && !v.is_bool()) return v.to_number<std::int64_t>() != 0;
  if (f.type == CoreTypes::NUMBER && (v.is_int64() || v.is_uint64()))
    return number_value(v.to_number<std::int64_t>());
  if (f.type == CoreTypes::BINARY) {
    std::string bytes;
    (void)base64_decode(v.get_string(), bytes);
    return boost::json::string(base64_encode(bytes));
  }
  return v;
}

boost::json::object& json_address(boost::json::object& row) {
  boost::json::value& a = row["_address"];
  if (!a.is_object()) a = boost::json::object();
  return a.get_object();
}
}  // namespace

void MemoryBackend::insert(const classes::model::ModelClass& cls,
                           std::span<const boost::json::object> records) {
  const std::string table = table_of(cls);
  std::vector<boost::json::object> rows;
  for (const auto& record : records) {
    check_record(cls, record);  // every record before any is kept: all or none
    boost::json::object row;
    for (const auto& f : cls.fields()) row[f.name] = nullptr;
    for (const auto& [key, v] : record) {
      if (key == "_metadata") {
        // Kept as the JSON text a database column holds; a record without metadata has
        // no entry.
        if (v.is_object())
          row[key] = boost::json::serialize(v);
        else if (v.is_string())
          row[key] = v;
        continue;
      }
      // The address columns of a stored object become the record's `_address` mapping,
      // which the address filters read and which is not handed over with the record.
      if (is_address_column(key)) {
        json_address(row)[key.substr(1)] = v;
        continue;
      }
      row[key] = as_stored(field_of(cls, key), v);
    }
    rows.push_back(std::move(row));
  }
  for (auto& row : rows)
    MemoryStore::instance().insert(alias_, table,
                                   velmor_glue::Data{std::move(row), boost::json::object()});
}

// Opens `memory:` URLs for the registry.
namespace detail {
std::shared_ptr<Backend> open_memory_store(std::string alias, const DatabaseUrl&) {
  return std::make_shared<MemoryBackend>(std::move(alias));
}
}  // namespace detail

}  // namespace velmor_models::backends
