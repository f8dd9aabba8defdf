#include "velmor_models/querysets/qsetkit/query_set_core.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <unordered_set>
#include <utility>

#include "velmor_data/aliases/using.hpp"
#include "velmor_models/classes/utils.hpp"
#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/utils/text.hpp"
#include "velmor_utils/values.hpp"

namespace velmor_models::querysets::qsetkit {
namespace {

using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValueError;

constexpr std::size_t partial_suffix_length = std::string_view("Partial").size();

// The shortest text that reads back as `d`, laid out as the message's readers expect:
// fixed notation with a decimal point for exponents -4 to 15 (100000.0, 0.0001), else
// scientific with a two-digit exponent (1e+16, 1e-05); nan and inf by name.
std::string float_text(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[48];
  const char* end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific).ptr;
  std::string_view sci(buf, static_cast<std::size_t>(end - buf));  // "-1.25e+05"
  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const std::size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits += c;
  std::string_view exp_text = sci.substr(e + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  int exp = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);
  const auto n = static_cast<int>(digits.size());
  if (exp >= -4 && exp < 16) {
    if (exp < 0)
      out += "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
    else if (n <= exp + 1)
      out += digits + std::string(static_cast<std::size_t>(exp + 1 - n), '0') + ".0";
    else
      out += digits.substr(0, static_cast<std::size_t>(exp + 1)) + "." +
             digits.substr(static_cast<std::size_t>(exp + 1));
  } else {
    out += digits.front();
    if (n > 1) out += "." + digits.substr(1);
    out += exp < 0 ? "e-" : "e+";
    if (std::abs(exp) < 10) out += '0';
    out += std::to_string(std::abs(exp));
  }
  return out;
}

std::string step_text(const std::variant<std::int64_t, double>& step) {
  if (const auto* i = std::get_if<std::int64_t>(&step)) return std::to_string(*i);
  return float_text(std::get<double>(step));
}

std::string entity_name_of(const classes::model::ModelClass& entity) {
  const std::string& name = entity.name();
  if (classes::utils::is_partial_model(entity))
    return name.substr(0, name.size() - std::min(name.size(), partial_suffix_length));
  return name;
}

}  // namespace

StrictClassVersion::StrictClassVersion(const boost::json::value& v) noexcept
    : value(velmor_utils::values::truth(v)) {}

QuerySetCore::QuerySetCore(ModelClassPtr entity, ExecutorFactory executor,
                           AsyncExecutorFactory async_executor, StrictClassVersion strict)
    : _entity(std::move(entity)) {
  // Refused here rather than found later, in entity_name(), table_name() or execute().
  if (!_entity) throw TypeError("A query set needs a model class, not a null pointer");
  if (executor) _settings.executor = std::move(executor);
  if (async_executor) _settings.async_executor = std::move(async_executor);
  _settings.strict_class_version = strict.value;
}

std::string QuerySetCore::entity_name() const {
  return entity_name_of(*_entity);
}

std::string QuerySetCore::InstanceMaker::entity_name() const {
  return entity_name_of(*entity);
}

std::string QuerySetCore::table_name() const {
  const boost::json::value& table = _entity->table_name();
  if (!velmor_utils::values::truth(table)) return entity_name();
  if (!table.is_string())
    throw TypeError("__table_name__ of " + _entity->name() + " must be text, not " +
                    std::string(velmor_utils::values::kind_name(table)));
  return std::string(table.get_string());
}

void QuerySetCore::_check_type(const Model& obj) const {
  if (obj.model_class() != _entity)
    throw errors::BulkOperationError("Cannot update an object of a different type");
  if (_state.as_of)
    throw errors::BulkOperationError(
        "Cannot update the objects of a query set read as of a time: new versions are built "
        "on the objects as they are now");
}

void QuerySetCore::enter_annotations(const boost::json::object& values) {
  if (values.empty()) return;
  boost::json::object& annotations = _state.annotations.mut();
  for (const auto& kv : values) annotations[kv.key()] = kv.value();
}

void QuerySetCore::extend_only(const std::vector<std::string>& fields) {
  std::vector<std::string>& only = _state.query_specifier.mut().only;
  // The union, each name once, even when the current list (changed through the getter)
  // holds a name twice; the order of the union is not part of the contract.
  std::vector<std::string> names;
  names.reserve(only.size() + fields.size());
  std::unordered_set<std::string_view> present;
  for (const std::vector<std::string>* list : {&std::as_const(only), &fields})
    for (const std::string& f : *list)
      if (present.insert(f).second) names.push_back(f);
  only = std::move(names);
}

void QuerySetCore::set_distinct(std::vector<std::string> fields) {
  _state.query_specifier.mut().distinct = std::move(fields);
}

void QuerySetCore::add_conditions(std::span<const Q> conditions, bool negated,
                                  const NamedFilters& named) {
  Q group;
  if (!conditions.empty()) {
    group = conditions.front();
    for (const Q& c : conditions.subspan(1)) group &= c;
    if (!named.empty()) group &= Q(named);
  } else {
    group = Q(named);
  }
  if (negated) group = ~group;
  if (group) _state.conditions &= group;
}

void QuerySetCore::set_order_by(std::span<const std::string_view> texts) {
  std::vector<OrderBy> order;
  order.reserve(texts.size());
  for (std::string_view t : texts) order.push_back(OrderBy::from_string(t));
  _state.order_by.set(std::move(order));
}

void QuerySetCore::set_select_related(std::span<const std::string_view> paths) {
  boost::json::object root;
  for (std::string_view path : paths) {
    // The tree is as deep as the longest path; a depth no model has is refused before
    // anything is built, rather than making a tree that is costly to copy and destroy.
    std::size_t names = 1;
    for (std::size_t pos = path.find("__"); pos != std::string_view::npos;
         pos = path.find("__", pos + 2))
      ++names;
    if (names > max_related_depth)
      throw ValueError("select_related path '" +
                       velmor_utils::utils::text::printable(path.substr(0, 200)) +
                       (path.size() > 200 ? "...'" : "'") + " names " + std::to_string(names) +
                       " relations; at most " + std::to_string(max_related_depth) + " are allowed");
  }
  for (std::string_view path : paths) {
    boost::json::object* node = &root;
    std::size_t start = 0;
    while (true) {
      std::size_t pos = path.find("__", start);
      std::string_view name = path.substr(start, pos == std::string_view::npos ? pos : pos - start);
      boost::json::value& child = (*node)[name];
      if (!child.is_object()) child = boost::json::object();
      node = &child.get_object();
      if (pos == std::string_view::npos) break;
      start = pos + 2;
    }
  }
  _state.select_related.set(SelectRelated(std::move(root)));
}

void QuerySetCore::set_window(std::int64_t index) noexcept {
  _state.paginator.offset = index;
  _state.paginator.limit = 1;
}

void QuerySetCore::set_window(const Slice& slice) {
  if (slice.step) {
    bool is_one = std::visit([](auto s) { return s == 1; }, *slice.step);
    if (!is_one)
      throw ValueError("QuerySet slicing does not support step: " + step_text(*slice.step) + ".");
  }
  if (!slice.start || !slice.stop)
    throw TypeError("QuerySet slicing needs both a start and a stop");
  std::int64_t limit = 0;
  if (__builtin_sub_overflow(*slice.stop, *slice.start, &limit))
    throw ValueError("QuerySet slicing bounds too far apart: " + std::to_string(*slice.stop) +
                     " - " + std::to_string(*slice.start) + " does not fit in 64 bits");
  _state.paginator.offset = *slice.start;
  _state.paginator.limit = limit;
}

void QuerySetCore::set_as_of_ticks(std::int64_t count, std::intmax_t num, std::intmax_t den) {
  std::int64_t product = 0;
  if (__builtin_mul_overflow(count, num, &product))
    return set_as_of_microseconds(static_cast<long double>(count) * static_cast<long double>(num) /
                                  static_cast<long double>(den));
  // Rounded toward the past: a save at that microsecond is one at or before the time.
  std::int64_t whole = product / den;
  if (product % den != 0 && product < 0) --whole;
  _state.as_of = whole;
}

void QuerySetCore::set_as_of_microseconds(long double microseconds) {
  constexpr long double bound = 9223372036854775808.0L;  // 2^63
  const long double whole = std::floor(microseconds);
  if (!std::isfinite(whole) || whole < -bound || whole >= bound)
    throw ValueError(
        "as_of takes a time within about 292,000 years of 1970, as 64 bits of "
        "microseconds hold");
  _state.as_of = static_cast<std::int64_t>(whole);
}

bool QuerySetCore::take_negated(NamedFilters& named) {
  auto it = named.find("negated");
  if (it == named.end()) return false;
  bool negated = velmor_utils::values::truth(it->value());
  // Rebuilt rather than erased: erasing would move the last filter into the gap, and
  // the filters keep the order they were given in.
  NamedFilters rest(named.storage());
  rest.reserve(named.size() - 1);
  for (const auto& kv : named)
    if (kv.key() != "negated") rest.emplace(kv.key(), kv.value());
  named = std::move(rest);
  return negated;
}

void QuerySetCore::refuse_negated(const NamedFilters& named, std::string_view operation) {
  if (named.contains("negated"))
    throw TypeError(std::string(operation) +
                    "() sets the negation itself; a named filter 'negated' is not allowed");
}

}  // namespace velmor_models::querysets::qsetkit
