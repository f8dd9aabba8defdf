#include "velmor_models/querysets/qsetkit/query_set_core.hpp"

#include <algorithm>
#include <cmath>
#include <charconv>
#include <unordered_set>

#include "velmor_data/aliases/using.hpp"
#include "velmor_models/classes/utils.hpp"
#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/values.hpp"

namespace velmor_models::querysets::qsetkit {
namespace {

using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValueError;

constexpr std::size_t partial_suffix_length = std::string_view("Partial").size();

std::string step_text(const std::variant<std::int64_t, double>& step) {
  if (const auto* i = std::get_if<std::int64_t>(&step)) return std::to_string(*i);
  double d = std::get<double>(step);
  // Shortest round-tripping form, with a ".0" for whole numbers as the runtime prints.
  char buf[32];
  std::string s(buf, std::to_chars(buf, buf + sizeof buf, d).ptr);  // 32 always suffice
  if (std::isfinite(d) && s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

}  // namespace

StrictClassVersion::StrictClassVersion(const boost::json::value& v) noexcept
    : value(velmor_utils::values::truth(v)) {}

QuerySetCore::QuerySetCore(ModelClassPtr entity, ExecutorFactory executor,
                           AsyncExecutorFactory async_executor, StrictClassVersion strict)
    : _entity(std::move(entity)),
      _executor(executor ? std::move(executor) : ExecutorFactory(&executor::Executor::create)),
      _async_executor(async_executor ? std::move(async_executor)
                                     : AsyncExecutorFactory(&executor::create_async_executor)),
      _using(velmor_data::aliases::using_::DEFAULT_DB_ALIAS),
      _strict_class_version(strict.value) {}

QuerySetCore::QuerySetCore(const QuerySetCore& source)
    : QuerySetCore(source._entity, {}, {}, StrictClassVersion{}) {
  carry_query_state(source);
}

QuerySetCore& QuerySetCore::operator=(const QuerySetCore& source) {
  if (this != &source) *this = QuerySetCore(source);
  return *this;
}

void QuerySetCore::carry_query_state(const QuerySetCore& source) {
  _paginator = source._paginator.model_copy();
  _order_by = source._order_by;
  _select_related = source._select_related;
  _query_specifier = source._query_specifier;
  _conditions = source._conditions;
  _using = source._using;
  _annotations = source._annotations;
  _is_none = source._is_none;
}

void QuerySetCore::carry_settings(const QuerySetCore& source) {
  _executor = source._executor;
  _async_executor = source._async_executor;
  _strict_class_version = source._strict_class_version;
}

std::string QuerySetCore::entity_name() const {
  const std::string& name = _entity->name();
  if (classes::utils::is_partial_model(*_entity))
    return name.substr(0, name.size() - std::min(name.size(), partial_suffix_length));
  return name;
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
}

void QuerySetCore::enter_annotations(const boost::json::object& values) {
  if (values.empty()) return;
  boost::json::object& annotations = _annotations.mut();
  for (const auto& kv : values) annotations[kv.key()] = kv.value();
}

void QuerySetCore::extend_only(const std::vector<std::string>& fields) {
  std::vector<std::string>& only = _query_specifier.mut().only;
  // Each name once; the order of the union is not part of the contract.
  std::unordered_set<std::string_view> present(only.begin(), only.end());
  std::vector<std::string> added;
  for (const std::string& f : fields)
    if (present.insert(f).second) added.push_back(f);
  only.insert(only.end(), std::make_move_iterator(added.begin()),
              std::make_move_iterator(added.end()));
}

void QuerySetCore::set_distinct(std::vector<std::string> fields) {
  _query_specifier.mut().distinct = std::move(fields);
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
  if (group) _conditions &= group;
}

void QuerySetCore::set_order_by(std::span<const std::string_view> texts) {
  std::vector<OrderBy> order;
  order.reserve(texts.size());
  for (std::string_view t : texts) order.push_back(OrderBy::from_string(t));
  _order_by.set(std::move(order));
}

void QuerySetCore::set_select_related(std::span<const std::string_view> paths) {
  boost::json::object root;
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
  _select_related.set(SelectRelated(std::move(root)));
}

void QuerySetCore::set_window(std::int64_t index) noexcept {
  _paginator.offset = index;
  _paginator.limit = 1;
}

void QuerySetCore::set_window(const Slice& slice) {
  if (slice.step) {
    bool is_one = std::visit([](auto s) { return s == 1; }, *slice.step);
    if (!is_one)
      throw ValueError("QuerySet slicing does not support step: " + step_text(*slice.step) + ".");
  }
  if (!slice.start || !slice.stop)
    throw TypeError("QuerySet slicing needs both a start and a stop");
  _paginator.offset = *slice.start;
  _paginator.limit = *slice.stop - *slice.start;
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
                    "() got multiple values for keyword argument 'negated'");
}

}  // namespace velmor_models::querysets::qsetkit
