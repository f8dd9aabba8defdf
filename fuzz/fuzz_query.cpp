// The query compiler against the in-memory reference evaluator. The input describes a query
// (condition tree, exclusion, ordering, distinct fields, window) over one model with a field
// of every core type; it is either refused before any SQL is built, with a documented error
// kind (the same in both stores), or it runs on an in-memory SQLite database and returns
// exactly the records MemoryStore returns, in the same order (ties included) and with the
// same contents. Also checked: no name or value from the input appears in the SQL text,
// count() equals the number of rows, exclude(c) returns exactly the rows filter(c) does
// not, and a record built from the input is kept by both stores or refused by both alike.

#include <algorithm>
#include <boost/json/serialize.hpp>
#include <cmath>
#include <limits>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "velmor_models/backends/backend.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/compiler.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/executor.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

namespace {

namespace json = boost::json;
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::Model;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
namespace backends = velmor_models::backends;
using Query = QuerySet<Model>;

// Input text that reaches the query is marked with this prefix; the SQL must never hold it.
constexpr std::string_view kMark = "zq";

const ModelClassPtr& model() {
  static const ModelClassPtr cls = ModelClass::create("Sample", "fuzz_samples",
                                                      {{"id", CoreTypes::INTEGER, true, {}},
                                                       {"name", CoreTypes::STRING, false, {}},
                                                       {"age", CoreTypes::INTEGER, false, {}},
                                                       {"score", CoreTypes::NUMBER, false, {}},
                                                       {"active", CoreTypes::BOOLEAN, false, {}},
                                                       {"day", CoreTypes::DATE, false, {}},
                                                       {"data", CoreTypes::DICTIONARY, false, {}},
                                                       {"tags", CoreTypes::ARRAY, false, {}},
                                                       {"blob", CoreTypes::BINARY, false, {}},
                                                       {"order", CoreTypes::STRING, false, {}},
                                                       {"it's", CoreTypes::INTEGER, false, {}}});
  return cls;
}

// Where records built from the input are written.
const ModelClassPtr& written() {
  static const ModelClassPtr cls = ModelClass::create("Written", "fuzz_written",
                                                      {{"id", CoreTypes::INTEGER, true, {}},
                                                       {"n", CoreTypes::NUMBER, false, {}},
                                                       {"i", CoreTypes::INTEGER, false, {}},
                                                       {"s", CoreTypes::STRING, false, {}},
                                                       {"b", CoreTypes::BOOLEAN, false, {}},
                                                       {"bin", CoreTypes::BINARY, false, {}},
                                                       {"data", CoreTypes::DICTIONARY, false, {}},
                                                       {"tags", CoreTypes::ARRAY, false, {}}});
  return cls;
}

constexpr std::int64_t k2p53 = std::int64_t(1) << 53;
constexpr std::int64_t k2p62 = std::int64_t(1) << 62;

std::vector<json::object> rows() {
  json::value null;
  auto row = [&](std::int64_t id, json::value name, json::value age, json::value score,
                 json::value active, json::value day, json::value data, json::value tags,
                 json::value blob) {
    return json::object{{"id", id},
                        {"name", std::move(name)},
                        {"age", std::move(age)},
                        {"score", std::move(score)},
                        {"active", std::move(active)},
                        {"day", std::move(day)},
                        {"data", std::move(data)},
                        {"tags", std::move(tags)},
                        {"blob", std::move(blob)},
                        {"_metadata", "{}"}};
  };
  return {
      row(1, "Ann", 30, 29.5, true, "2024-01-02",
          json::object{{"city", "Paris"}, {"n", 1}, {"tags", {{"x", 1}}}}, json::array{1, "a"},
          "QUJD"),
      row(2, "ann", 25, 30.0, false, "2023-12-31", json::object{{"city", "paris"}, {"n", "1"}},
          json::array{}, "AA=="),
      row(3, "ANNA", null, 12.25, null, null, json::object{{"city", nullptr}}, null, null),
      row(4, "Stra\u00dfe", k2p53 + 1, -1.5, true, "2024-01-02", json::object{{"n", 2.5}},
          json::array{json::array{1}}, ""),
      row(5, "STRASSE", k2p53, null, false, "", json::object{}, json::array{nullptr}, "QUJD"),
      row(6, "\u03a3\u03af\u03c3\u03c5\u03c6\u03bf\u03c2", k2p62 + 1, 1e300, true, "2025",
          json::object{{"nested", {{"deep", "yes"}}}, {"a b", 1}, {"%", "_"}},
          json::array{"x", 2.5}, null),
      row(7, null, k2p62, 0.0, false, null, null, json::array{true}, "/w=="),
      row(8, "bob_%x", -7, 30, true, "bob", json::object{{"city", "Lyon"}, {"n", 30}},
          json::array{30, "30"}, null),
      row(9, "\u212aelvin", 0, 7.0, null, "2024-01-02", json::object{{"city", "PARIS"}},
          json::array{json::object{{"k", 1}}}, "AAAA"),
      row(10, "\u00e9mile", 29, null, true, null, json::object{{"n", json::array{1, 2}}}, null,
          null),
      row(11, "", std::numeric_limits<std::int64_t>::min(), 2.0, false, "a'b",
          json::object{{"n", true}, {"0", "zero"}}, json::array{"a'b", "\\"}, "AAE="),
      row(12, "zo\u00eb", 30, 29.0, true, "2024-01-02", json::object{{"city", "Paris"}, {"n", 1.0}},
          json::array{1.0}, "QUJD"),
      // Integers in the NUMBER field, -0.0, case pairs beyond ASCII, integers near the
      // int64 bounds inside JSON.
      row(13, "\u01c5", null, k2p53 + 1, null, null,
          json::object{{"n", std::numeric_limits<std::int64_t>::max()}, {"city", "\u01c4"}},
          json::array{-1}, null),
      row(14, "\u01c6", -1, std::numeric_limits<std::int64_t>::max(), true, null,
          json::object{{"n", std::numeric_limits<std::int64_t>::min()}, {"a b", "x"}}, null,
          "AA=="),
      row(15, "\u0130", k2p53, -0.0, false, "x",
          json::object{{"nested", {{"deep", 2}}}, {"city", "i\u0307"}}, json::array{}, null),
      row(16, "i\u0307", 30, std::numeric_limits<std::int64_t>::min(), null, null,
          json::object{{"n", k2p53 + 1}, {"tags", {{"x", "1"}}}}, null, null),
  };
}

std::vector<json::object> all_rows() {
  // Keyword and quoted field names, NULLs among them.
  std::vector<json::object> out = rows();
  constexpr const char* kOrders[] = {"b", "a", "", "B", "b", "\u00e9"};
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i]["order"] = i % 7 == 6 ? json::value(nullptr) : json::value(kOrders[i % 6]);
    out[i]["it's"] = i % 5 == 4 ? json::value(nullptr) : json::value(std::int64_t(i % 3) - 1);
  }
  return out;
}

// Both stores with the rows; again from scratch when `fresh`.
void load(bool fresh = false) {
  static bool loaded = false;
  if (loaded && !fresh) return;
  loaded = true;
  velmor_models::querysets::executor::MemoryStore::instance().clear();
  backends::configure("mem", "memory:");
  backends::configure("sq", "sqlite::memory:");
  static const std::vector<json::object> all = all_rows();
  for (const char* alias : {"mem", "sq"}) {
    backends::create_table(alias, *model());
    backends::insert_records(alias, *model(), all);
    backends::create_table(alias, *written(), {"id"});
  }
}

constexpr const char* kFields[] = {"id",   "name", "age",  "score", "active", "day",
                                   "data", "tags", "blob", "order", "it's"};
constexpr const char* kKeys[] = {"city", "n", "tags", "x",    "nested", "deep", "0",
                                 "a b",  "%", "k",    "it's", "a.b",    "$",    "order"};
constexpr const char* kLookups[] = {"",           "exact",    "iexact", "contains", "icontains",
                                    "startswith", "endswith", "gt",     "gte",      "lt",
                                    "lte",        "in",       "isnull", "like"};

class Builder {
 public:
  explicit Builder(velmor_fuzz::Bytes& in) : in_(in) {}

  std::string marked_text() {
    std::string s(kMark);
    for (std::size_t n = in_.below(6); n > 0; --n) s += static_cast<char>(in_.byte());
    return s;
  }

  std::string path(bool for_order) {
    const std::size_t pick = in_.below(18);
    std::string p;
    if (pick < 11) {
      p = kFields[pick];
    } else if (pick < 14) {
      p = pick == 11 ? "data" : pick == 12 ? "tags" : "name";
      for (std::size_t n = 1 + in_.below(2); n > 0; --n)
        (p += "__") += in_.below(8) == 0 ? marked_text() : kKeys[in_.below(std::size(kKeys))];
    } else if (pick == 14) {
      p = "_address__object_version";
    } else if (pick == 15) {
      p = marked_text();  // an unknown field
    } else {
      p = std::string("data__") + marked_text();
    }
    if (for_order && in_.flag()) p = "-" + p;
    return p;
  }

  json::value value() {
    switch (in_.below(40)) {
      case 32:
        return json::string(std::string_view("ab\0cd", 5));
      case 33:
        return "ab";
      case 34:
        return std::numeric_limits<std::int64_t>::max();
      case 35:
        return -1;
      case 36:
        return "\u01c5";
      case 37:
        return "I\u0307";
      case 38: {
        // A list long enough to be bound as one value, NUL text and nulls among others.
        json::array a;
        for (std::size_t n = 60 + in_.below(20); n > 0; --n) a.push_back(value_of_kind(n));
        return a;
      }
      case 39:
        return k2p53 + 1;
      case 0:
        return nullptr;
      case 1:
        return true;
      case 2:
        return false;
      case 3:
        return 0;
      case 4:
        return 1;
      case 5:
        return 30;
      case 6:
        return -7;
      case 7:
        return k2p53;
      case 8:
        return k2p53 + 1;
      case 9:
        return k2p62;
      case 10:
        return std::numeric_limits<std::int64_t>::min();
      case 11:
        return std::uint64_t(1) << 63;
      case 12:
        return 29.5;
      case 13:
        return 30.0;
      case 14:
        return 1e300;
      case 15:
        return -0.0;
      case 16:
        return std::nan("");
      case 17:
        return "Ann";
      case 18:
        return "ANN";
      case 19:
        return "";
      case 20:
        return "%";
      case 21:
        return "_";
      case 22:
        return "\\";
      case 23:
        return "paris";
      case 24:
        return "STRASSE";
      case 25:
        return "\xff";
      case 26:
        return "2024-01-02";
      case 27:
        return json::value(marked_text());
      case 28:
        return json::array{};
      case 29:
        return json::array{nullptr, 30, "Ann"};
      case 30: {
        json::array a;
        for (std::size_t n = in_.below(5); n > 0; --n) a.push_back(value());
        return a;
      }
      default:
        return json::object{{"k", 1}};
    }
  }

  // Scalars for long lists: mostly ones no row holds, and a few that rows do.
  json::value value_of_kind(std::size_t n) {
    switch (in_.below(8)) {
      case 0:
        return json::string(std::string_view("ab\0cd", 5));
      case 1:
        return value();
      case 2:
        return nullptr;
      default:
        return json::value("none" + std::to_string(n));
    }
  }

  // A record for the written table: each field from the value generator, a nested JSON
  // value for the JSON fields.
  json::object record(std::int64_t id) {
    json::object r{{"id", id}};
    for (const char* f : {"n", "i", "s", "b", "bin", "data", "tags"}) {
      if (!in_.flag()) continue;
      json::value v = value();
      if ((f[0] == 'd' || f[0] == 't') && in_.flag()) v = json::object{{"k", v}, {"l", {v}}};
      r[f] = std::move(v);
    }
    return r;
  }

  Q condition(int depth) {
    const std::size_t kind = depth >= 4 ? 0 : in_.below(6);
    if (kind <= 2 || in_.empty()) {
      std::string name = path(false);
      if (const char* lookup = kLookups[in_.below(std::size(kLookups))]; *lookup)
        (name += "__") += lookup;
      return Q(NamedFilters{{name, value()}});
    }
    if (kind == 3) return ~condition(depth + 1);
    Q out = condition(depth + 1);
    for (std::size_t n = 1 + in_.below(3); n > 0; --n) {
      if (kind == 4)
        out &= condition(depth + 1);
      else
        out |= condition(depth + 1);
    }
    return out;
  }

  velmor_fuzz::Bytes& in_;
};

struct Shape {
  std::vector<std::string> order;
  std::string distinct_path;
  bool distinct = false, window = false;
};

Query shaped(Query q, velmor_fuzz::Bytes& in, Builder& b, Shape& shape) {
  switch (in.below(3)) {
    case 1:
      shape.order = {b.path(true)};
      q = q.order_by(shape.order[0]);
      break;
    case 2:
      shape.order = {b.path(true), b.path(true)};
      q = q.order_by(shape.order[0], shape.order[1]);
      break;
    default:
      break;
  }
  if (in.below(4) == 0) {
    shape.distinct = true;
    shape.distinct_path = b.path(false);
    q = q.distinct({shape.distinct_path});
  }
  if (in.below(3) == 0) {
    shape.window = true;
    const auto start = static_cast<std::int64_t>(in.below(14));
    const auto stop = static_cast<std::int64_t>(in.below(15));
    q = q[Slice(start, stop)];
  }
  return q;
}

enum class Kind { rows, field_error, value_error, type_error, unsupported, database_error, other };
constexpr const char* kKindNames[] = {"rows",        "FieldError",    "ValueError", "TypeError",
                                      "unsupported", "DatabaseError", "other"};

struct Answer {
  Kind kind = Kind::rows;
  std::string message;
  std::vector<std::int64_t> ids;
  std::vector<json::object> records;
  std::int64_t count = -1;
};

template <class F>
Kind classify(F&& f, std::string& message) {
  try {
    f();
    return Kind::rows;
  } catch (const velmor_models::querysets::errors::FieldError& e) {
    message = e.what();
    return Kind::field_error;
  } catch (const backends::sql::UnsupportedQueryError& e) {
    message = e.what();
    return Kind::unsupported;
  } catch (const velmor_utils::errors::ValueError& e) {
    message = e.what();
    return Kind::value_error;
  } catch (const velmor_utils::errors::TypeError& e) {
    message = e.what();
    return Kind::type_error;
  } catch (const velmor_models::querysets::errors::DatabaseError& e) {
    message = e.what();
    return Kind::database_error;
  } catch (const std::exception& e) {
    message = e.what();
    return Kind::other;
  }
}

Answer run(const Query& q, std::string_view alias) {
  Answer a;
  const Query on = q.using_(alias);
  a.kind = classify(
      [&] {
        auto backend = backends::backend_for(alias);
        for (auto& r : backend->query(on)) {
          a.ids.push_back(r.data->at("id").as_int64());
          a.records.push_back(std::move(*r.data));
        }
        a.count = backend->count(on);
      },
      a.message);
  return a;
}

std::string ids_text(const std::vector<std::int64_t>& ids) {
  std::string s = "[";
  for (auto id : ids) s += std::to_string(id) + " ";
  return s + "]";
}

// The first entry in which two stores' records differ, or nothing.
std::string difference(const std::vector<json::object>& a, const std::vector<json::object>& b) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
    if (a[i] != b[i]) return json::serialize(a[i]) + " against " + json::serialize(b[i]);
  return a.size() == b.size() ? "" : "a different number of records";
}

// Writes `record` to both stores: both keep it, with the same contents, or both refuse it
// with the same kind of error.
void check_write(const json::object& record) {
  std::string messages[2];
  Kind kinds[2];
  const char* aliases[] = {"mem", "sq"};
  for (int i = 0; i < 2; ++i)
    kinds[i] =
        classify([&] { backends::insert_records(aliases[i], *written(), std::span(&record, 1)); },
                 messages[i]);
  const std::string what = json::serialize(record).substr(0, 600);
  FUZZ_CHECK(kinds[0] == kinds[1], std::string("writing: memory ") + kKindNames[int(kinds[0])] +
                                       " " + messages[0] + ", SQLite " + kKindNames[int(kinds[1])] +
                                       " " + messages[1] + " for " + what);
  FUZZ_CHECK(
      kinds[0] == Kind::rows || kinds[0] == Kind::value_error || kinds[0] == Kind::type_error,
      std::string("writing: ") + kKindNames[int(kinds[0])] + " " + messages[0]);
  if (kinds[0] != Kind::rows) return;
  const QuerySet<Model> q = QuerySet<Model>(written()).filter({{"id", record.at("id")}});
  const Answer mem = run(q, "mem"), sql = run(q, "sq");
  FUZZ_CHECK(mem.kind == Kind::rows && sql.kind == Kind::rows && mem.ids.size() == 1,
             "reading a written record back: " + mem.message + sql.message);
  const std::string diff = difference(sql.records, mem.records);
  FUZZ_CHECK(diff.empty(), "written record read back: SQLite " + diff + " for " + what);
  // A JSON path into what was written reads alike too.
  for (const char* path : {"data__k", "data__k__k", "tags"}) {
    const auto by_path =
        QuerySet<Model>(written()).filter({{"id", record.at("id")}, {path, nullptr}});
    FUZZ_CHECK(run(by_path, "mem").count == run(by_path, "sq").count,
               std::string("null test on ") + path + " after writing " + what);
  }
}

std::vector<std::int64_t> sorted(std::vector<std::int64_t> v) {
  std::sort(v.begin(), v.end());
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  load();
  velmor_fuzz::Bytes in(data, size);
  Builder b(in);
  const bool negate = in.flag();
  if (in.below(4) == 0) {
    static std::int64_t next_id = 0;
    // The memory store scans every record: the written table is kept small.
    if (++next_id % 128 == 0) load(true);
    check_write(b.record(next_id));
  }

  // Building the query may refuse a name or value already (Filter::parse, OrderBy).
  std::optional<Q> condition;
  std::optional<Query> built_query;
  const Query base(model());
  Shape shape;
  std::string build_message;
  const Kind built = classify(
      [&] {
        condition = b.condition(0);
        built_query =
            shaped(negate ? base.exclude(*condition) : base.filter(*condition), in, b, shape);
      },
      build_message);
  FUZZ_CHECK(built == Kind::rows || built == Kind::value_error || built == Kind::type_error,
             std::string("building the query: ") + kKindNames[static_cast<int>(built)] + " " +
                 build_message);
  if (!built_query) return 0;
  const Query& q = *built_query;
  const std::string condition_text = condition->str();
  std::string what = (negate ? "exclude " : "filter ") + condition_text.substr(0, 600) + " order";
  for (const auto& o : shape.order) what += " " + o;
  if (shape.distinct) what += " distinct " + shape.distinct_path;
  if (shape.window) what += " window";

  std::string check_message;
  const Kind checked = classify([&] { backends::check_query(q); }, check_message);
  FUZZ_CHECK(checked == Kind::rows || checked == Kind::field_error ||
                 checked == Kind::value_error || checked == Kind::type_error,
             std::string("check_query: ") + kKindNames[static_cast<int>(checked)] + " " +
                 check_message + " for " + what);

  const Answer mem = run(q, "mem");
  const Answer sql = run(q, "sq");
  FUZZ_CHECK(mem.kind == checked, std::string("memory store: ") +
                                      kKindNames[static_cast<int>(mem.kind)] + " " + mem.message +
                                      " for " + what);
  // The SQL store refuses, as unsupported, `_address` paths and JSON keys that SQLite's path
  // syntax cannot spell (quotes, backslashes, control characters); only input text can
  // bring those.
  // (Looked for in the whole query, not in its shortened description.)
  std::string whole = condition_text;
  for (const auto& o : shape.order) whole += " " + o;
  whole += " " + shape.distinct_path;
  const bool may_be_unsupported =
      whole.find("_address") != std::string::npos || whole.find(kMark) != std::string::npos;
  if (checked == Kind::rows && sql.kind == Kind::unsupported && may_be_unsupported) return 0;
  {
    FUZZ_CHECK(sql.kind == checked, std::string("SQLite store: ") +
                                        kKindNames[static_cast<int>(sql.kind)] + " " + sql.message +
                                        " for " + what);
  }
  if (checked != Kind::rows) return 0;

  // Names and values reach SQL only as quoted, checked identifiers or bound parameters.
  if (sql.kind == Kind::rows) {
    const Query bound = q.using_("sq");
    const auto statement = backends::sql::compile_select(backends::check_query(bound),
                                                         backends::sql::sqlite_dialect());
    FUZZ_CHECK(statement.text.find(kMark) == std::string::npos,
               "input text spliced into SQL: " + statement.text.substr(0, 600));
  }

  FUZZ_CHECK(mem.count == static_cast<std::int64_t>(mem.ids.size()), "memory count for " + what);
  if (sql.kind != Kind::rows) return 0;
  FUZZ_CHECK(
      sql.count == static_cast<std::int64_t>(sql.ids.size()),
      "SQLite count " + std::to_string(sql.count) + " for " + ids_text(sql.ids) + " " + what);

  // Both stores break ties by insertion order: the same records in the same order, with
  // the same contents.
  FUZZ_CHECK(sql.ids == mem.ids,
             "SQLite " + ids_text(sql.ids) + " memory " + ids_text(mem.ids) + " for " + what);
  const std::string diff = difference(sql.records, mem.records);
  FUZZ_CHECK(diff.empty(), "records differ: SQLite " + diff + " for " + what);

  // exclude(c) is the complement of filter(c), in both stores.
  if (!shape.distinct && !shape.window) {
    const Answer mem_other =
        run(negate ? base.filter(*condition) : base.exclude(*condition), "mem");
    const Answer sql_other = run(negate ? base.filter(*condition) : base.exclude(*condition), "sq");
    for (const auto* pair : {&mem, &sql}) {
      const Answer& other = pair == &mem ? mem_other : sql_other;
      FUZZ_CHECK(other.kind == Kind::rows, "the negation was refused: " + other.message);
      std::vector<std::int64_t> both = pair->ids;
      both.insert(both.end(), other.ids.begin(), other.ids.end());
      static const std::size_t row_count = all_rows().size();
      std::vector<std::int64_t> every(row_count);
      for (std::size_t i = 0; i < every.size(); ++i) every[i] = static_cast<std::int64_t>(i + 1);
      FUZZ_CHECK(sorted(both) == every, std::string(pair == &mem ? "memory" : "SQLite") +
                                            " filter " + ids_text(sorted(pair->ids)) +
                                            " and exclude " + ids_text(sorted(other.ids)) +
                                            " do not partition the rows for " + what);
    }
  }
  return 0;
}
