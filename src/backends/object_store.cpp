// The public operations of the store of versioned objects (new objects, new versions,
// deletions, bulk updates) and units of work: each is a list of changes written as one
// save (store/changes.hpp), atomic across the default database and the lakehouse.
#include "velmor_models/backends/object_store.hpp"

#include <atomic>
#include <functional>

#include "backends/store/changes.hpp"
#include "velmor_data/aliases/using.hpp"
#include "velmor_models/backends/unit_of_work.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit/query_set_core.hpp"

namespace velmor_models::backends {
namespace {

namespace json = boost::json;
using classes::model::ModelClassPtr;
using velmor_utils::errors::ValueError;
using namespace store;

using Changes = std::shared_ptr<const std::vector<Change>>;

Changes one(Change c) {
  auto out = std::make_shared<std::vector<Change>>();
  out->push_back(std::move(c));
  return out;
}

// The synchronous form: the changes written on the calling thread.
std::vector<ObjectAddress> written(Changes changes) {
  return in_stores<std::vector<ObjectAddress>>([&] { return write_changes(changes); });
}

// The coroutine form: the changes (made by `make` when awaited, so that their errors
// surface there) written where on_stores says.
awaitable<std::vector<ObjectAddress>> awritten(std::function<Changes()> make) {
  const Changes changes = make();
  std::function<awaitable<std::vector<ObjectAddress>>()> write = [changes] {
    return write_changes(changes);
  };
  co_return co_await on_stores<std::vector<ObjectAddress>>(std::move(write));
}

awaitable<ObjectAddress> first_of(awaitable<std::vector<ObjectAddress>> saved) {
  std::vector<ObjectAddress> out = co_await std::move(saved);
  co_return std::move(out.front());
}

awaitable<std::int64_t> count_of(awaitable<std::vector<ObjectAddress>> saved) {
  const std::vector<ObjectAddress> out = co_await std::move(saved);
  co_return static_cast<std::int64_t>(out.size());
}

awaitable<void> ignored(awaitable<std::vector<ObjectAddress>> saved) {
  (void)co_await std::move(saved);
}

template <class T>
awaitable<T> rethrow(std::exception_ptr error) {
  std::rethrow_exception(error);
  co_return T{};
}

awaitable<std::int64_t> zero() {
  co_return 0;
}

json::object with_id(json::object values, std::optional<std::string> object_id) {
  if (object_id) values["_object_id"] = std::move(*object_id);
  return values;
}

// A query set's reading part, owned: what a bulk update run later reads.
class OwnedQuery final : public querysets::executor::QuerySetReader {
 public:
  explicit OwnedQuery(const querysets::qsetkit::QuerySetCore& qs)
      : entity_(qs.entity()),
        entity_name_(qs.entity_name()),
        table_name_(qs.table_name()),
        conditions_(qs.get_conditions()),
        select_related_(qs.get_select_related()),
        specifier_(qs.get_query_specifier()),
        order_by_(qs.get_order_by()),
        using_(qs.get_using()),
        paginator_(qs.get_paginator()) {}
  const ModelClassPtr& entity() const override { return entity_; }
  std::string entity_name() const override { return entity_name_; }
  std::string table_name() const override { return table_name_; }
  const velmor_utils::query::Q& get_conditions() const override { return conditions_; }
  const querysets::executor::SelectRelated& get_select_related() const override {
    return select_related_;
  }
  const querysets::executor::QuerySpecifier& get_query_specifier() const override {
    return specifier_;
  }
  const std::vector<querysets::executor::OrderBy>& get_order_by() const override {
    return order_by_;
  }
  const std::string& get_using() const override { return using_; }
  const querysets::executor::NumberPaginator& get_paginator() const override { return paginator_; }

 private:
  ModelClassPtr entity_;
  std::string entity_name_, table_name_;
  velmor_utils::query::Q conditions_;
  querysets::executor::SelectRelated select_related_;
  querysets::executor::QuerySpecifier specifier_;
  std::vector<querysets::executor::OrderBy> order_by_;
  std::string using_;
  querysets::executor::NumberPaginator paginator_;
};


}  // namespace

StaleVersionError::StaleVersionError(const std::string& message)
    : DatabaseError(message, std::string(velmor_data::aliases::using_::LAKEHOUSE_DB_ALIAS), "", "",
                    true, querysets::errors::DatabaseErrorCategory::conflict) {}

ObjectAddress stored_address(const std::optional<ObjectAddress>& address) {
  if (!address)
    throw ValueError(
        "the instance carries no stored address (it was not read from the object store)");
  return *address;
}

namespace {
// The base version an address names, for `cls`.
void check_base(const ModelClassPtr& cls, const ObjectAddress& base) {
  if (cls && base.class_name != cls->name())
    throw ValueError("the base version is one of " + base.class_name + ", not of " + cls->name());
}
}  // namespace

std::vector<ObjectAddress> save_new_batch(const ModelClassPtr& cls,
                                          std::span<const json::object> values) {
  return written(one(created(cls, values)));
}

ObjectAddress save_new(const ModelClassPtr& cls, const json::object& values,
                       std::optional<std::string> object_id) {
  const json::object v = with_id(values, std::move(object_id));
  return save_new_batch(cls, std::span<const json::object>(&v, 1)).front();
}

ObjectAddress save_version(const ModelClassPtr& cls, std::string_view object_id,
                           std::int64_t base_version, const json::object& values) {
  return written(one(new_version(cls, std::string(object_id), base_version, values))).front();
}

ObjectAddress save_version(const ModelClassPtr& cls, const ObjectAddress& base,
                           const json::object& values) {
  check_base(cls, base);
  return save_version(cls, base.object_id, base.object_version, values);
}

void delete_object(const ModelClassPtr& cls, std::string_view object_id) {
  (void)written(one(deletion(cls, std::string(object_id))));
}

std::int64_t bulk_update(const querysets::qsetkit::QuerySetCore& qs,
                         const classes::model::Model& changes) {
  qs._check_type(changes);
  if (qs.is_none()) return 0;
  // Not owned: the query set outlives the synchronous call.
  const std::shared_ptr<const querysets::executor::QuerySetReader> reader(
      std::shared_ptr<void>(), &qs);
  return static_cast<std::int64_t>(written(one(update(reader, changes))).size());
}

// The coroutine forms own their arguments from the call on; every check runs when they
// are awaited, so errors surface there.

awaitable<ObjectAddress> asave_new(ModelClassPtr cls, json::object values,
                                   std::optional<std::string> object_id) {
  return first_of(awritten([cls = std::move(cls), v = with_id(std::move(values),
                                                              std::move(object_id))] {
    return one(created(cls, std::span<const json::object>(&v, 1)));
  }));
}

awaitable<std::vector<ObjectAddress>> asave_new_batch(ModelClassPtr cls,
                                                      std::vector<json::object> values) {
  return awritten(
      [cls = std::move(cls), values = std::move(values)] { return one(created(cls, values)); });
}

awaitable<ObjectAddress> asave_version(ModelClassPtr cls, std::string object_id,
                                       std::int64_t base_version, json::object values) {
  return first_of(awritten([cls = std::move(cls), id = std::move(object_id), base_version,
                            values = std::move(values)] {
    return one(new_version(cls, id, base_version, values));
  }));
}

awaitable<ObjectAddress> asave_version(ModelClassPtr cls, std::optional<ObjectAddress> base,
                                       json::object values) {
  return first_of(
      awritten([cls = std::move(cls), base = std::move(base), values = std::move(values)] {
        const ObjectAddress a = stored_address(base);
        check_base(cls, a);
        return one(new_version(cls, a.object_id, a.object_version, values));
      }));
}

awaitable<void> adelete_object(ModelClassPtr cls, std::string object_id) {
  return ignored(awritten(
      [cls = std::move(cls), id = std::move(object_id)] { return one(deletion(cls, id)); }));
}

awaitable<std::int64_t> abulk_update(const querysets::qsetkit::QuerySetCore& qs,
                                     const classes::model::Model& changes) {
  std::shared_ptr<const OwnedQuery> owned;
  try {
    qs._check_type(changes);
    if (qs.is_none()) return zero();
    owned = std::make_shared<const OwnedQuery>(qs);
  } catch (...) {
    return rethrow<std::int64_t>(std::current_exception());
  }
  return count_of(awritten([owned, changes = classes::model::Model(changes)] {
    return one(update(owned, changes));
  }));
}

// A unit of work: its changes, and whether it is in use, committed or given away.
struct UnitOfWork::State {
  std::vector<Change> changes;
  std::atomic<bool> in_use{false};
  bool committed = false;
};

namespace {
// One thread at a time, and nothing after the commit.
class Use {
 public:
  explicit Use(UnitOfWork::State& state) : state_(state) {
    if (state_.in_use.exchange(true))
      throw ValueError("the unit of work is in use by another thread; a unit is used by one "
                       "thread at a time");
    if (state_.committed) {
      state_.in_use = false;
      throw ValueError("the unit of work was committed already; start another");
    }
  }
  ~Use() { state_.in_use = false; }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

 private:
  UnitOfWork::State& state_;
};

// Consecutive new objects of one class are one batch.
void add(std::vector<Change>& changes, Change c) {
  if (c.kind == Change::Kind::create && !changes.empty() &&
      changes.back().kind == Change::Kind::create && changes.back().cls == c.cls) {
    auto& rows = changes.back().rows;
    rows.insert(rows.end(), std::make_move_iterator(c.rows.begin()),
                std::make_move_iterator(c.rows.end()));
    return;
  }
  changes.push_back(std::move(c));
}
}  // namespace

UnitOfWork::UnitOfWork() : state_(std::make_unique<State>()) {}
UnitOfWork::~UnitOfWork() = default;

void UnitOfWork::save_new(const ModelClassPtr& cls, const json::object& values,
                          std::optional<std::string> object_id) {
  Use use(*state_);
  const json::object v = with_id(values, std::move(object_id));
  add(state_->changes, created(cls, std::span<const json::object>(&v, 1)));
}

void UnitOfWork::save_new_batch(const ModelClassPtr& cls, std::span<const json::object> values) {
  Use use(*state_);
  add(state_->changes, created(cls, values));
}

void UnitOfWork::save_version(const ModelClassPtr& cls, std::string_view object_id,
                              std::int64_t base_version, const json::object& values) {
  Use use(*state_);
  add(state_->changes, new_version(cls, std::string(object_id), base_version, values));
}

void UnitOfWork::save_version(const ModelClassPtr& cls, const ObjectAddress& base,
                              const json::object& values) {
  check_base(cls, base);
  save_version(cls, base.object_id, base.object_version, values);
}

void UnitOfWork::delete_object(const ModelClassPtr& cls, std::string_view object_id) {
  Use use(*state_);
  add(state_->changes, deletion(cls, std::string(object_id)));
}

void UnitOfWork::bulk_update(const querysets::qsetkit::QuerySetCore& qs,
                             const classes::model::Model& changes) {
  Use use(*state_);
  qs._check_type(changes);
  if (qs.is_none()) return;
  add(state_->changes, update(std::make_shared<const OwnedQuery>(qs), changes));
}

std::size_t UnitOfWork::size() const {
  return state_->changes.size();
}

std::vector<ObjectAddress> UnitOfWork::commit() {
  Use use(*state_);
  state_->committed = true;  // once, whatever comes of it
  return written(std::make_shared<const std::vector<Change>>(std::move(state_->changes)));
}

awaitable<std::vector<ObjectAddress>> UnitOfWork::acommit() {
  std::shared_ptr<const std::vector<Change>> changes;
  try {
    Use use(*state_);
    state_->committed = true;
    changes = std::make_shared<const std::vector<Change>>(std::move(state_->changes));
  } catch (...) {
    return rethrow<std::vector<ObjectAddress>>(std::current_exception());
  }
  return awritten([changes] { return changes; });
}

}  // namespace velmor_models::backends
