#include "velmor_models/backends/query_check.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/stored_value.hpp"
#include "velmor_models/classes/class_manager.hpp"
#include "velmor_models/detail/unicode.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends {
namespace {

using classes::model::CoreTypes;
using classes::model::FieldDecl;
using classes::model::ModelClass;
using querysets::errors::FieldError;
using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValueError;
using velmor_utils::query::Filter;
using velmor_utils::query::Lookup;
using velmor_utils::query::lookup_name;
using velmor_utils::query::Q;
namespace json = boost::json;

// The reserved first segment of the framework's address paths (`_address__object_version`).
constexpr std::string_view kAddress = "_address";
// Names are cut to this many bytes in messages: a name is user input of any length.
constexpr std::size_t kShownBytes = 80;

// `name` quoted for a message: control bytes, NUL, quotes, backslashes and bytes that are
// not UTF-8 are escaped, and a very long name is cut.
std::string shown(std::string_view name, bool quoted = true) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out = quoted ? "'" : "";
  std::string_view text = name.substr(0, kShownBytes);
  while (!text.empty()) {
    auto byte = static_cast<unsigned char>(text.front());
    if (byte >= 0x80) {
      // Keep a well-formed multi-byte character whole, escape anything else.
      std::size_t len = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
      if (len <= text.size() && detail::valid_utf8(text.substr(0, len))) {
        out.append(text.substr(0, len));
        text.remove_prefix(len);
        continue;
      }
    }
    if (byte < 0x20 || byte == 0x7F || byte >= 0x80 || (quoted && byte == '\'') || byte == '\\') {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 0xF];
    } else {
      out += static_cast<char>(byte);
    }
    text.remove_prefix(1);
  }
  if (quoted) out += '\'';
  if (name.size() > kShownBytes) out += "... (" + std::to_string(name.size()) + " bytes)";
  return out;
}

// Edit distance with adjacent transpositions (optimal string alignment), ASCII case
// ignored, so "nmae" and "Name" are both one edit from "name".
std::size_t distance(std::string_view a, std::string_view b) {
  auto low = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t cost = low(a[i - 1]) == low(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && low(a[i - 1]) == low(b[j - 2]) && low(a[i - 2]) == low(b[j - 1]))
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// The declared field closest to `name`, when one is close enough to be a likely typo.
const FieldDecl* close_match(const ModelClass& cls, std::string_view name) {
  const FieldDecl* best = nullptr;
  std::size_t best_distance = std::max<std::size_t>(1, std::min<std::size_t>(3, name.size() / 3));
  if (name.size() > 64) return nullptr;  // no typo of a declared name is that long
  for (const FieldDecl& f : cls.fields()) {
    std::size_t d = distance(name, f.name);
    if (d <= best_distance && (!best || d < best_distance)) {
      best = &f;
      best_distance = d;
    }
  }
  return best;
}

[[noreturn]] void unknown_field(const ModelClass& cls, std::string_view name,
                                std::string_view where) {
  std::string msg = "Cannot resolve " + shown(name);
  if (!where.empty()) (msg += " in ") += where;
  msg += ": model " + shown(cls.name()) + " has no field " + shown(name) + ". Its fields: ";
  if (cls.fields().empty()) msg += "none";
  constexpr std::size_t kListed = 50;
  for (std::size_t i = 0; i < cls.fields().size() && i < kListed; ++i)
    msg += (i ? ", " : "") + shown(cls.fields()[i].name, false);
  if (cls.fields().size() > kListed)
    msg += " and " + std::to_string(cls.fields().size() - kListed) + " more";
  msg += '.';
  if (const FieldDecl* match = close_match(cls, name))
    msg += " Did you mean " + shown(match->name) + "?";
  throw FieldError(msg);
}

const FieldDecl& find_field(const ModelClass& cls, std::string_view name, std::string_view where) {
  for (const FieldDecl& f : cls.fields())
    if (f.name == name) return f;
  unknown_field(cls, name, where);
}

bool is_json(const CoreTypes& type) {
  return type == CoreTypes::ARRAY || type == CoreTypes::DICTIONARY;
}
bool is_text(const CoreTypes& type) {
  return type == CoreTypes::STRING || type == CoreTypes::DATE || type == CoreTypes::DATETIME;
}
bool is_numeric(const CoreTypes& type) {
  return type == CoreTypes::INTEGER || type == CoreTypes::NUMBER || type == CoreTypes::BOOLEAN;
}

std::vector<std::string_view> segments(std::string_view path) {
  std::vector<std::string_view> out;
  for (std::size_t pos; (pos = path.find("__")) != std::string_view::npos;
       path.remove_prefix(pos + 2))
    out.push_back(path.substr(0, pos));
  out.push_back(path);
  return out;
}

// Resolves a path whose first segment must be a declared field (or the reserved address
// mapping); further segments are only allowed inside a JSON-valued field.
ResolvedPath resolve(const ModelClass& cls, std::string_view path, std::string_view where) {
  std::vector<std::string_view> segs = segments(path);
  bool declared = std::any_of(cls.fields().begin(), cls.fields().end(),
                              [&](const FieldDecl& f) { return f.name == segs.front(); });
  if (!declared && segs.front() == kAddress) {
    // The address columns the object store writes, each with its kind.
    if (segs.size() == 2)
      for (const FieldDecl* a : address_columns())
        if (std::string_view(a->name).substr(1) == segs[1]) return {a, {}, true};
    throw FieldError("The address path " + shown(path) + " in " + std::string(where) +
                     " names no address column (object_id, object_version, class_version, "
                     "saved_at)");
  }
  const FieldDecl& f = find_field(cls, segs.front(), where);
  if (segs.size() == 1) return {&f, {}, false};
  if (!is_json(f.type))
    throw FieldError("Cannot resolve " + shown(path) + " in " + std::string(where) + ": field " +
                     shown(f.name) + " of model " + shown(cls.name()) + " is " +
                     std::string(f.type.name()) +
                     ", and only ARRAY and DICTIONARY fields can be walked into (" +
                     shown(segs[1]) + " is no lookup either)");
  ResolvedPath out{&f, {}, false};
  for (std::size_t i = 1; i < segs.size(); ++i) {
    if (segs[i].empty())
      throw FieldError("The path " + shown(path) + " in " + std::string(where) +
                       " has an empty key");
    out.keys.emplace_back(segs[i]);
  }
  return out;
}

// The paths of one query set, each resolved once.
class PathTable {
 public:
  explicit PathTable(const ModelClass& cls) : cls_(cls) {}
  const ResolvedPath& resolve(std::string_view path, std::string_view where) {
    if (auto it = paths_.find(path); it != paths_.end()) return it->second;
    return paths_.emplace(std::string(path), backends::resolve(cls_, path, where)).first->second;
  }
  CheckedQuery::Paths take() { return std::move(paths_); }

 private:
  const ModelClass& cls_;
  CheckedQuery::Paths paths_;
};

// Whether a resolved path reads a value inside a JSON value (any scalar kind), not a
// field's own value.
bool inside_json(const ResolvedPath& t) {
  return !t.keys.empty();
}

std::string_view kind_of(const json::value& v) {
  switch (v.kind()) {
    case json::kind::null:
      return "null";
    case json::kind::bool_:
      return "a boolean";
    case json::kind::int64:
    case json::kind::uint64:
      return "an integer";
    case json::kind::double_:
      return "a real number";
    case json::kind::string:
      return "text";
    case json::kind::array:
      return "a list";
    case json::kind::object:
      return "an object";
  }
  return "a value";
}

bool is_text_lookup(Lookup l) {
  return l == Lookup::iexact || l == Lookup::contains || l == Lookup::icontains ||
         l == Lookup::startswith || l == Lookup::endswith;
}

// Refuses a scalar no store can compare exactly: non-finite reals, integers past int64,
// text that is not UTF-8, lists and objects.
void check_scalar(const json::value& v, const std::string& subject) {
  switch (v.kind()) {
    case json::kind::double_:
      if (!std::isfinite(v.get_double()))
        throw ValueError(subject + " takes only finite numbers, not " +
                         (std::isnan(v.get_double()) ? std::string("NaN") : "infinity"));
      return;
    case json::kind::uint64:
      if (v.get_uint64() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw ValueError(subject + " takes integers up to " +
                         std::to_string(std::numeric_limits<std::int64_t>::max()) + ", not " +
                         std::to_string(v.get_uint64()));
      return;
    case json::kind::string:
      if (!detail::valid_utf8(v.get_string()))
        throw ValueError(subject + " takes UTF-8 text; the value given is not UTF-8");
      return;
    case json::kind::array:
    case json::kind::object:
      throw TypeError(subject + " takes a single value (null, boolean, number or text), not " +
                      std::string(kind_of(v)));
    default:
      return;
  }
}

// A value of the wrong kind for the field the path names: text against a numeric field,
// a number against a text field, anything but NULL tests against BINARY or JSON fields.
void check_kind(const json::value& v, const ResolvedPath& t, std::string_view lookup,
                const ModelClass& cls) {
  if (inside_json(t) || v.is_null()) return;
  const CoreTypes& type = t.field->type;
  // A version may be given as text (check_query turns it into the integer it names).
  bool fits = (is_numeric(type) && (v.is_number() || v.is_bool())) ||
              (is_text(type) && v.is_string()) || (t.address && v.is_string());
  if (fits) return;
  std::string msg = "The '" + std::string(lookup) + "' lookup on field " + shown(t.field->name) +
                    " of model " + shown(cls.name()) + " (" + std::string(type.name()) + ") ";
  if (is_numeric(type) || is_text(type))
    throw TypeError(msg + "cannot take " + std::string(kind_of(v)));
  throw TypeError(msg + "is not supported: " + std::string(type.name()) +
                  " fields can only be tested for null (isnull, or exact with null)");
}

bool is_version_path(std::string_view path) {
  return path == "_address__object_version" || path == "_address__class_version";
}
bool is_time_path(std::string_view path) {
  return path == "_address__saved_at";
}

// A time in a `_address__saved_at` filter: RFC 3339 text or an integer of microseconds
// (null where the lookup takes it). A real would be a time to a fraction of a microsecond
// and a boolean none at all.
void check_time(const json::value& v, const std::string& subject) {
  if (v.is_null() || v.is_int64() || v.is_uint64()) return;
  if (v.is_string()) {
    if (time_in_text(v.get_string())) return;
    throw ValueError(subject + " takes a time, and " + shown(v.get_string()) +
                     " is none: RFC 3339 text with a UTC offset or Z "
                     "(\"2026-12-10T12:00:00.123456Z\"), or microseconds since the epoch");
  }
  throw TypeError(subject +
                  " takes a time (RFC 3339 text with a UTC offset, or an integer of "
                  "microseconds since the epoch), not " +
                  std::string(kind_of(v)));
}

void check_filter(const ModelClass& cls, const Filter& f, PathTable& paths) {
  const ResolvedPath& t = paths.resolve(f.path, "a filter");
  const std::string_view lookup = lookup_name(f.lookup);
  const std::string subject = "The '" + std::string(lookup) + "' lookup on " + shown(f.path);
  const json::value& v = f.value;

  // The version marker LATEST: the newest version of each object, or (for the class
  // version) the version each object was stored under.
  if (is_version_path(f.path) && f.lookup == Lookup::exact && is_latest_marker(v)) return;
  if (f.lookup == Lookup::isnull) {
    if (!v.is_bool()) throw TypeError(subject + " needs a boolean, not " + std::string(kind_of(v)));
    return;
  }
  if (v.is_null()) {
    if (f.lookup == Lookup::exact || f.lookup == Lookup::iexact) return;  // IS NULL
    throw ValueError(subject + " cannot take null; use isnull to look for NULLs");
  }
  if (is_text_lookup(f.lookup)) {
    if (!inside_json(t) && !is_text(t.field->type))
      throw TypeError("The '" + std::string(lookup) + "' lookup applies to text; field " +
                      shown(t.field->name) + " of model " + shown(cls.name()) + " is " +
                      std::string(t.field->type.name()));
    if (!v.is_string()) throw TypeError(subject + " needs text, not " + std::string(kind_of(v)));
    check_scalar(v, subject);
    return;
  }
  if (f.lookup == Lookup::in) {
    if (!v.is_array()) throw TypeError(subject + " needs a list, not " + std::string(kind_of(v)));
    if (!inside_json(t) && !is_numeric(t.field->type) && !is_text(t.field->type))
      throw TypeError("The 'in' lookup on field " + shown(t.field->name) + " of model " +
                      shown(cls.name()) + " (" + std::string(t.field->type.name()) +
                      ") is not supported: " + std::string(t.field->type.name()) +
                      " fields can only be tested for null (isnull, or exact with null)");
    for (const json::value& e : v.get_array()) {
      check_scalar(e, subject);
      if (is_time_path(f.path)) check_time(e, subject);
      check_kind(e, t, lookup, cls);
    }
    return;
  }
  check_scalar(v, subject);
  if (is_time_path(f.path)) check_time(v, subject);
  check_kind(v, t, lookup, cls);
}

// Walks `q` without recursion, calling `leaf` on each filter; refuses the tree once AND
// and OR nest deeper than max_condition_depth.
template <class Leaf>
void walk_condition(const Q& q, Leaf&& leaf) {
  std::vector<std::pair<const Q*, std::size_t>> pending{{&q, 0}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    switch (node->kind()) {
      case Q::Kind::leaf:
        leaf(node->filter());
        break;
      case Q::Kind::not_:
        pending.emplace_back(&node->children()[0], depth);
        break;
      case Q::Kind::and_:
      case Q::Kind::or_:
        if (depth == max_condition_depth)
          throw ValueError("The condition nests AND and OR more than " +
                           std::to_string(max_condition_depth) +
                           " levels deep, which no store evaluates; combine its terms in "
                           "fewer levels");
        for (const Q& child : node->children()) pending.emplace_back(&child, depth + 1);
        break;
      case Q::Kind::empty:
        break;
    }
  }
}

// A version value as the stores compare it: the integer that canonical text names, or
// nullopt for text that names no version. Other values stay as they are.
std::optional<json::value> version_value(const json::value& v) {
  if (!v.is_string()) return v;
  if (std::optional<std::int64_t> n = version_in_text(v.get_string())) return json::value(*n);
  return std::nullopt;
}

// A time as the stores compare it: the microseconds that RFC 3339 text names (the check
// refused any other text). Other values stay as they are.
std::optional<json::value> time_value(const json::value& v) {
  if (!v.is_string()) return v;
  if (std::optional<std::int64_t> n = time_in_text(v.get_string())) return json::value(*n);
  return std::nullopt;
}

// `f` with its text versions and times in integer form; nullopt when it needs no change.
// A filter whose text names no version becomes `in []`, which matches nothing in every
// store.
std::optional<Filter> normalised(const Filter& f) {
  std::optional<json::value> (*const named_by)(const json::value&) =
      is_version_path(f.path) ? version_value
      : is_time_path(f.path)  ? time_value
                              : nullptr;
  if (!named_by) return std::nullopt;
  if (f.lookup == Lookup::in) {
    const json::array& given = f.value.get_array();
    if (std::none_of(given.begin(), given.end(),
                     [](const json::value& e) { return e.is_string(); }))
      return std::nullopt;
    json::array named;
    for (const json::value& e : given)
      if (std::optional<json::value> n = named_by(e)) named.push_back(std::move(*n));
    return Filter{f.path, Lookup::in, std::move(named)};
  }
  if (!f.value.is_string() || f.lookup == Lookup::isnull) return std::nullopt;
  if (f.lookup == Lookup::exact && is_latest_marker(f.value)) return std::nullopt;
  if (std::optional<json::value> n = named_by(f.value)) return Filter{f.path, f.lookup, *n};
  return Filter{f.path, Lookup::in, json::array()};
}

// `q` with every filter normalised; `q` itself (shared, not copied) when none changes.
// AND and OR nest at most max_condition_depth levels (checked first); runs of NOT are
// walked without recursion.
Q normalised(const Q& q, bool& changed) {
  std::size_t nots = 0;
  const Q* node = &q;
  while (node->kind() == Q::Kind::not_) {
    ++nots;
    node = &node->children()[0];
  }
  Q out;
  bool inner = false;
  switch (node->kind()) {
    case Q::Kind::leaf:
      if (std::optional<Filter> f = normalised(node->filter())) {
        out = Q::leaf(std::move(*f));
        inner = true;
      }
      break;
    case Q::Kind::and_:
    case Q::Kind::or_: {
      std::vector<Q> children;
      for (const Q& child : node->children()) children.push_back(normalised(child, inner));
      if (!inner) break;
      for (const Q& child : children) {
        if (node->kind() == Q::Kind::and_)
          out &= child;
        else
          out |= child;
      }
      break;
    }
    default:
      break;
  }
  if (!inner) return q;
  changed = true;
  for (std::size_t i = 0; i < nots; ++i) out = ~out;
  return out;
}

void check_condition(const ModelClass& cls, const Q& q, PathTable& paths) {
  // The depth first, so that a tree too deep is refused as such whatever its filters.
  walk_condition(q, [](const Filter&) {});
  walk_condition(q, [&](const Filter& f) { check_filter(cls, f, paths); });
}

// Each name of a select_related tree is a reference field of the class its parent refers
// to (the query's class at the root). Iterative: a tree is as deep as its longest path.
void check_related(const ModelClass& root, const json::object& tree) {
  std::vector<std::pair<classes::model::ModelClassPtr, const json::object*>> pending;
  const ModelClass* cls = &root;
  const json::object* node = &tree;
  classes::model::ModelClassPtr held;
  while (true) {
    for (const auto& kv : *node) {
      const FieldDecl& f = find_field(*cls, kv.key(), "select_related()");
      if (!f.is_reference())
        throw FieldError("select_related() takes reference fields; field " + shown(f.name) +
                         " of model " + shown(cls->name()) + " is " + std::string(f.type.name()) +
                         ", not a reference");
      const auto* sub = kv.value().if_object();
      if (sub && !sub->empty())
        pending.emplace_back(classes::class_manager::ClassManager().import_class(f.references),
                             sub);
    }
    if (pending.empty()) return;
    held = std::move(pending.back().first);
    node = pending.back().second;
    pending.pop_back();
    cls = held.get();
  }
}

}  // namespace

void check_condition_depth(const Q& q) {
  walk_condition(q, [](const Filter&) {});
}

const FieldDecl& field_of(const ModelClass& cls, std::string_view name) {
  return find_field(cls, name, {});
}

bool is_latest_marker(const json::value& v) noexcept {
  const json::string* text = v.if_string();
  return text && (*text == "LATEST" || *text == "latest");
}

std::optional<std::int64_t> version_in_text(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  const std::string_view digits = negative ? text.substr(1) : text;
  if (digits.empty() || digits.size() > 19 || (digits.front() == '0' && text.size() > 1))
    return std::nullopt;
  std::uint64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (n > max + (negative ? 1 : 0)) return std::nullopt;
  return negative ? static_cast<std::int64_t>(0 - n) : static_cast<std::int64_t>(n);
}

std::optional<std::int64_t> time_in_text(std::string_view text) {
  // The fields sit at fixed places; `ok` turns false at the first character out of place.
  std::size_t pos = 0;
  bool ok = true;
  const auto next = [&] { return pos < text.size() ? text[pos] : '\0'; };
  const auto number = [&](std::size_t digits) {
    int n = 0;
    for (std::size_t i = 0; i < digits; ++i, ++pos) {
      const char c = next();
      ok = ok && c >= '0' && c <= '9';
      n = n * 10 + (c - '0');
    }
    return n;
  };
  const auto separator = [&](std::string_view chars) {
    ok = ok && next() != '\0' && chars.find(next()) != std::string_view::npos;
    ++pos;
  };
  const int year = number(4);
  separator("-");
  const int month = number(2);
  separator("-");
  const int day = number(2);
  separator("Tt");
  const int hour = number(2);
  separator(":");
  const int minute = number(2);
  separator(":");
  const int second = number(2);
  if (!ok) return std::nullopt;
  std::int64_t fraction = 0;
  if (next() == '.') {
    std::size_t digits = 0;
    for (++pos; next() >= '0' && next() <= '9'; ++pos, ++digits)
      if (digits < 6) fraction = fraction * 10 + (next() - '0');
    if (digits == 0 || digits > 6) return std::nullopt;  // none, or finer than a microsecond
    for (; digits < 6; ++digits) fraction *= 10;
  }
  int offset_minutes = 0;
  const char zone = next();
  ++pos;
  if (zone == '+' || zone == '-') {
    const int hours = number(2);
    separator(":");
    const int minutes = number(2);
    if (!ok || hours > 23 || minutes > 59) return std::nullopt;
    offset_minutes = (zone == '-' ? -1 : 1) * (hours * 60 + minutes);
  } else if (zone != 'Z' && zone != 'z') {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;
  namespace chrono = std::chrono;
  const chrono::year_month_day date{chrono::year(year), chrono::month(static_cast<unsigned>(month)),
                                    chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  const chrono::sys_time<chrono::microseconds> at =
      chrono::sys_days(date) + chrono::hours(hour) + chrono::minutes(minute - offset_minutes) +
      chrono::seconds(second) + chrono::microseconds(fraction);
  return at.time_since_epoch().count();
}

const ResolvedPath& CheckedQuery::path(std::string_view path) const {
  auto it = paths_.find(path);
  if (it == paths_.end())
    throw std::logic_error("the path " + shown(path) + " was not checked with its query");
  return it->second;
}

CheckedQuery check_query(const querysets::executor::QuerySetReader& qs) {
  if (!qs.entity()) throw ValueError("A query set needs a model class to run");
  const ModelClass& cls = *qs.entity();
  if (qs.get_as_of() && cls.is_plain_table())
    throw ValueError("as_of reads the history of stored objects; model " + shown(cls.name()) +
                     " is a plain table, whose rows have none");
  PathTable paths(cls);
  check_condition(cls, qs.get_conditions(), paths);
  for (const auto& o : qs.get_order_by()) paths.resolve(o.field(), "the ordering");
  const auto& selection = qs.get_query_specifier();
  for (const std::string& name : selection.only) {
    find_field(cls, name, "only()");
    paths.resolve(name, "only()");
  }
  for (const std::string& name : selection.distinct) paths.resolve(name, "distinct()");
  if (const auto* tree = std::get_if<json::object>(&qs.get_select_related()))
    check_related(cls, *tree);
  bool changed = false;
  return CheckedQuery(qs, normalised(qs.get_conditions(), changed), paths.take());
}

}  // namespace velmor_models::backends
