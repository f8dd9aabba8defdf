#include <boost/json/serialize.hpp>
#include <ostream>

#include "velmor_utils/errors.hpp"
#include "velmor_utils/query/utils.hpp"
#include "velmor_utils/values.hpp"

namespace velmor_utils::query {
namespace {

constexpr std::string_view lookup_names[] = {"exact",      "iexact",   "contains", "icontains",
                                             "startswith", "endswith", "gt",       "gte",
                                             "lt",         "lte",      "in",       "isnull"};

void append_text(std::string& out, const Q& q) {
  switch (q.kind()) {
    case Q::Kind::empty:
      out += "<empty>";
      return;
    case Q::Kind::leaf: {
      const Filter& f = q.filter();
      out += f.name();
      out += '=';
      out += boost::json::serialize(f.value);
      return;
    }
    case Q::Kind::not_:
      out += "NOT (";
      append_text(out, q.children()[0]);
      out += ')';
      return;
    case Q::Kind::and_:
    case Q::Kind::or_: {
      const char* sep = q.kind() == Q::Kind::and_ ? " AND " : " OR ";
      out += '(';
      bool first = true;
      for (const Q& c : q.children()) {
        if (!first) out += sep;
        first = false;
        append_text(out, c);
      }
      out += ')';
      return;
    }
  }
}

}  // namespace

std::string_view lookup_name(Lookup lookup) noexcept {
  return lookup_names[static_cast<int>(lookup)];
}

Filter Filter::parse(std::string_view name, boost::json::value value) {
  if (name.empty()) throw errors::ValueError("A named filter needs a field name");
  Filter f;
  std::string_view path = name;
  if (auto pos = name.rfind("__"); pos != std::string_view::npos && pos + 2 < name.size()) {
    std::string_view tail = name.substr(pos + 2);
    for (std::size_t i = 0; i < std::size(lookup_names); ++i) {
      if (tail == lookup_names[i]) {
        f.lookup = static_cast<Lookup>(i);
        path = name.substr(0, pos);
        break;
      }
    }
  }
  // Every segment of the path, split as path_segments() splits it, must name a field:
  // "a____b" or "__x" do not, "x___" ("x" then "_") does.
  f.path = std::string(path);
  bool empty_segment = false;
  for (std::string_view segment : f.path_segments())
    empty_segment = empty_segment || segment.empty();
  if (empty_segment)
    throw errors::ValueError("Invalid named filter '" + std::string(name) +
                             "': empty field name in path");
  if (f.lookup == Lookup::in && !value.is_array())
    throw errors::TypeError("The 'in' lookup of '" + std::string(name) + "' needs a list, not " +
                            std::string(values::kind_name(value)));
  if (f.lookup == Lookup::isnull && !value.is_bool())
    throw errors::TypeError("The 'isnull' lookup of '" + std::string(name) +
                            "' needs a boolean, not " + std::string(values::kind_name(value)));
  f.value = std::move(value);
  return f;
}

std::string Filter::name() const {
  // The path alone would be read with a lookup when it ends in "__<lookup name>".
  bool ambiguous = false;
  if (auto pos = path.rfind("__"); pos != std::string::npos && pos + 2 < path.size())
    for (std::string_view n : lookup_names) ambiguous = ambiguous || path.substr(pos + 2) == n;
  if (lookup == Lookup::exact && !ambiguous) return path;
  return path + "__" + std::string(lookup_name(lookup));
}

std::vector<std::string_view> Filter::path_segments() const {
  std::vector<std::string_view> out;
  std::string_view p = path;
  for (std::size_t pos; (pos = p.find("__")) != std::string_view::npos; p.remove_prefix(pos + 2))
    out.push_back(p.substr(0, pos));
  out.push_back(p);
  return out;
}

Q::Q(const boost::json::object& named_filters) {
  if (named_filters.empty()) return;
  if (named_filters.size() == 1) {
    const auto& kv = *named_filters.begin();
    *this = leaf(Filter::parse(kv.key(), kv.value()));
    return;
  }
  auto node = std::make_shared<Node>();
  node->kind = Kind::and_;
  node->children.reserve(named_filters.size());
  for (const auto& kv : named_filters)
    node->children.push_back(leaf(Filter::parse(kv.key(), kv.value())));
  node_ = std::move(node);
}

Q Q::leaf(Filter filter) {
  return Q(std::make_shared<const Node>(Node{Kind::leaf, std::move(filter), {}, {}}));
}

Q::Kind Q::kind() const noexcept {
  return node_ ? node_->kind : Kind::empty;
}

std::span<const Q> Q::children() const noexcept {
  if (!node_) return {};
  if (node_->kind == Kind::not_) return {&node_->operand, 1};
  return node_->children;
}

const Filter& Q::filter() const noexcept {
  return node_->filter;
}

Q Q::combine(Kind kind, const Q& a, const Q& b) {
  auto node = std::make_shared<Node>();
  node->kind = kind;
  auto width = [&](const Q& q) { return q.kind() == kind ? q.node_->children.size() : 1; };
  node->children.reserve(width(a) + width(b));
  auto add = [&](const Q& q) {
    if (q.kind() == kind)
      node->children.insert(node->children.end(), q.node_->children.begin(),
                            q.node_->children.end());
    else
      node->children.push_back(q);
  };
  add(a);
  add(b);
  return Q(std::shared_ptr<const Node>(std::move(node)));
}

Q& Q::operator&=(const Q& other) {
  if (!other) return *this;
  if (!*this) return *this = other;
  return *this = combine(Kind::and_, *this, other);
}

Q& Q::operator|=(const Q& other) {
  if (!other) return *this;
  if (!*this) return *this = other;
  return *this = combine(Kind::or_, *this, other);
}

Q Q::operator~() const {
  if (!node_) return {};
  return Q(std::make_shared<const Node>(Node{Kind::not_, {}, {}, *this}));
}

bool operator==(const Q& a, const Q& b) noexcept {
  if (a.node_ == b.node_) return true;
  if (a.kind() != b.kind()) return false;
  if (a.kind() == Q::Kind::leaf) return a.filter() == b.filter();
  auto ac = a.children(), bc = b.children();
  if (ac.size() != bc.size()) return false;
  for (std::size_t i = 0; i < ac.size(); ++i)
    if (!(ac[i] == bc[i])) return false;
  return true;
}

std::string Q::str() const {
  std::string out;
  append_text(out, *this);
  return out;
}

std::ostream& operator<<(std::ostream& os, const Q& q) {
  return os << q.str();
}

}  // namespace velmor_utils::query
