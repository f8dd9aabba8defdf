#include "related_loader.hpp"

#include <algorithm>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <map>
#include <tuple>
#include <unordered_map>

#include "velmor_models/classes/class_manager.hpp"

namespace velmor_models::backends {
namespace {

namespace json = boost::json;
using classes::model::FieldDecl;
using classes::model::ModelClass;
using classes::model::ModelClassPtr;

bool is_latest(const json::value& v) {
  const auto* s = v.if_string();
  return s && (*s == "LATEST" || *s == "latest");
}

double number_of(const json::value& v) {
  if (v.is_int64()) return static_cast<double>(v.get_int64());
  if (v.is_uint64()) return static_cast<double>(v.get_uint64());
  if (v.is_double()) return v.get_double();
  return 0;
}

bool same_version(const json::value& stored, const json::value& wanted) {
  if (stored.is_number() && wanted.is_number()) return number_of(stored) == number_of(wanted);
  return stored == wanted;
}

// Where a stored row sits, as its `_metadata` says: object id, object version, and the
// class version it was saved under.
struct RowAddress {
  json::value object_id;
  json::value object_version;
  json::value class_version;
};

RowAddress address_of(const json::object& data) {
  RowAddress a;
  const json::value* meta = data.if_contains("_metadata");
  json::value parsed;
  if (meta && meta->is_string()) {
    json::error_code ec;
    parsed = json::parse(meta->get_string(), ec);
    if (ec) return a;
    meta = &parsed;
  }
  if (!meta || !meta->is_object()) return a;
  if (const auto* v = meta->get_object().if_contains("object_id")) {
    a.object_id = *v;
    // The id may be kept as its JSON text ("\"abc\"").
    if (const auto* text = v->if_string()) {
      json::error_code ec;
      json::value id = json::parse(*text, ec);
      if (!ec && id.is_string()) a.object_id = std::move(id);
    }
  }
  if (const auto* v = meta->get_object().if_contains("object_version")) a.object_version = *v;
  if (a.class_version.is_null())
    if (const auto* csr = meta->get_object().if_contains("class_schema_reference");
        csr && csr->is_object())
      if (const auto* ref = csr->get_object().if_contains("ref"); ref && ref->is_object())
        if (const auto* v = ref->get_object().if_contains("object_version")) a.class_version = *v;
  return a;
}

const FieldDecl* field_named(const ModelClass& cls, std::string_view name) {
  for (const FieldDecl& f : cls.fields())
    if (f.name == name) return &f;
  return nullptr;
}

}  // namespace

RelatedQuery::RelatedQuery(ModelClassPtr cls, std::string alias, json::array ids,
                           std::optional<std::int64_t> as_of, std::optional<std::int64_t> saved_by)
    : cls_(std::move(cls)),
      alias_(std::move(alias)),
      conditions_(json::object{{"_address__object_id__in", std::move(ids)}}),
      as_of_(as_of) {
  if (saved_by) conditions_ &= Q(json::object{{"_address__saved_at__lte", *saved_by}});
}

std::string RelatedQuery::table_name() const {
  const json::value& t = cls_->table_name();
  if (t.is_string() && !t.get_string().empty()) return std::string(t.get_string());
  return cls_->name();
}

struct RelatedLoader::Impl {
  // A record whose reference fields are still to be followed.
  struct Slot {
    velmor_glue::Data* holder;
    ModelClassPtr cls;
    const json::object* tree;
  };
  // One reference to resolve: the related record goes to holder->related[entry].
  struct Target {
    velmor_glue::Data* holder;
    std::size_t entry;
    const json::object* address;  // in the holder's data, which nothing changes meanwhile
    const json::object* subtree;
    std::shared_ptr<velmor_glue::Data> row = {};  // what it resolved to
  };
  struct Group {
    ModelClassPtr cls;
    bool latest = true;  // one row per object, its newest (now or as of the time)
    std::vector<Target> targets;
    std::unordered_map<std::string, bool> seen_ids;
    json::array ids;
    std::shared_ptr<const RelatedQuery> query;
  };

  std::vector<Slot> slots;
  std::vector<Group> groups;
  std::unordered_map<std::string, ModelClassPtr> classes;
  std::optional<std::int64_t> as_of;  ///< the time the query set reads as of

  const ModelClassPtr& class_named(const std::string& name) {
    auto it = classes.find(name);
    if (it == classes.end())
      it = classes.emplace(name, classes::class_manager::ClassManager().import_class(name)).first;
    return it->second;
  }

  // The related records of the previous depth become the holders of the next: each
  // once per subtree, however many records refer to it. Only the loader changes them,
  // before they are delivered.
  void descend() {
    std::unordered_map<const velmor_glue::Data*, std::vector<const json::object*>> done;
    for (Group& g : groups)
      for (Target& t : g.targets) {
        if (!t.subtree || t.subtree->empty()) continue;
        if (!t.row || !t.row->data) continue;
        auto& subtrees = done[t.row.get()];
        if (std::find(subtrees.begin(), subtrees.end(), t.subtree) != subtrees.end()) continue;
        subtrees.push_back(t.subtree);
        slots.push_back({t.row.get(), g.cls, t.subtree});
      }
    groups.clear();
  }

  // The entry of `field` in the holder's related records (the same field may be asked for
  // by two paths reaching one shared record).
  static std::size_t entry_of(velmor_glue::Data& holder, std::string_view field) {
    for (std::size_t i = 0; i < holder.related.size(); ++i)
      if (holder.related[i].first == field) return i;
    holder.related.emplace_back(std::string(field), nullptr);
    return holder.related.size() - 1;
  }

  void plan() {
    // By class, alias and whether the group's references are to the latest versions.
    std::map<std::tuple<std::string, std::string, bool>, std::size_t> by_class_and_alias;
    for (const Slot& s : slots) {
      for (const auto& kv : *s.tree) {
        const std::size_t entry = entry_of(*s.holder, kv.key());
        const FieldDecl* f = field_named(*s.cls, kv.key());
        const json::value* v = s.holder->data->if_contains(kv.key());
        if (!f || !f->is_reference() || !v || !v->is_object()) continue;
        const json::object& address = v->get_object();
        const json::value* id = address.if_contains("object_id");
        if (!id) continue;
        const json::value* cv = address.if_contains("class_version");
        const json::value* ov = address.if_contains("object_version");
        bool latest = cv && ov && is_latest(*cv) && is_latest(*ov);
        // The default database holds the latest versions as they are now only.
        std::string alias = latest && !as_of ? "default" : "lakehouse";
        auto [it, fresh] =
            by_class_and_alias.try_emplace({f->references, alias, latest}, groups.size());
        if (fresh) groups.push_back(Group{class_named(f->references), latest, {}, {}, {}, {}});
        Group& g = groups[it->second];
        if (g.seen_ids.try_emplace(json::serialize(*id), true).second) g.ids.push_back(*id);
        g.targets.push_back({s.holder, entry, &address, kv.value().if_object()});
      }
    }
    slots.clear();
    for (auto& [key, index] : by_class_and_alias) {
      Group& g = groups[index];
      const bool latest = std::get<2>(key);
      g.query = std::make_shared<RelatedQuery>(g.cls, std::get<1>(key), std::move(g.ids),
                                               latest ? as_of : std::nullopt,
                                               latest ? std::nullopt : as_of);
    }
  }

  void deliver(Group& g, std::vector<velmor_glue::Data>& rows) {
    std::unordered_map<std::string, std::vector<std::size_t>> by_id;
    std::vector<RowAddress> addresses;
    addresses.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      addresses.push_back(rows[i].data ? address_of(*rows[i].data) : RowAddress{});
      by_id[json::serialize(addresses.back().object_id)].push_back(i);
    }
    // One shared record per row, made when a reference first picks it.
    std::vector<std::shared_ptr<velmor_glue::Data>> shared(rows.size());
    for (Target& t : g.targets) {
      const json::value* id = t.address->if_contains("object_id");
      auto found = id ? by_id.find(json::serialize(*id)) : by_id.end();
      if (found == by_id.end()) continue;
      const json::value* cv = t.address->if_contains("class_version");
      const json::value* ov = t.address->if_contains("object_version");
      std::optional<std::size_t> pick;
      for (std::size_t i : found->second) {
        const RowAddress& a = addresses[i];
        if (g.latest) {
          pick = i;
          break;
        }
        if (!cv || !ov) break;
        if (!is_latest(*cv) && !same_version(a.class_version, *cv)) continue;
        if (!is_latest(*ov)) {
          if (same_version(a.object_version, *ov)) pick = i;
          continue;
        }
        if (!pick || number_of(a.object_version) > number_of(addresses[*pick].object_version))
          pick = i;
      }
      if (!pick) continue;
      if (!shared[*pick])
        shared[*pick] = std::make_shared<velmor_glue::Data>(std::move(rows[*pick]));
      t.row = shared[*pick];
      t.holder->related[t.entry].second = t.row;
    }
  }
};

RelatedLoader::RelatedLoader(const QuerySetReader& qs, std::vector<velmor_glue::Data>& records)
    : impl_(std::make_unique<Impl>()) {
  impl_->as_of = qs.get_as_of();
  const auto* tree = std::get_if<json::object>(&qs.get_select_related());
  if (!tree || tree->empty()) return;
  for (velmor_glue::Data& r : records)
    if (r.data) impl_->slots.push_back({&r, qs.entity(), tree});
}

RelatedLoader::~RelatedLoader() = default;

std::vector<std::shared_ptr<const RelatedQuery>> RelatedLoader::next() {
  std::vector<std::shared_ptr<const RelatedQuery>> out;
  impl_->descend();
  if (impl_->slots.empty()) return out;
  impl_->plan();
  for (const auto& g : impl_->groups) out.push_back(g.query);
  return out;
}

void RelatedLoader::deliver(std::size_t index, std::vector<velmor_glue::Data> rows) {
  impl_->deliver(impl_->groups.at(index), rows);
}

}  // namespace velmor_models::backends
