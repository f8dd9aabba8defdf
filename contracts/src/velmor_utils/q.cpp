#include <boost/json/serialize.hpp>
#include <ostream>

#include "velmor_utils/errors.hpp"
#include "velmor_utils/query/utils.hpp"
#include "velmor_utils/utils/text.hpp"
#include "velmor_utils/values.hpp"

namespace velmor_utils::query {
namespace {

constexpr std::string_view lookup_names[] = {"exact",      "iexact",   "contains", "icontains",
                                             "startswith", "endswith", "gt",       "gte",
                                             "lt",         "lte",      "in",       "isnull"};

void append_leaf(std::string& out, const Filter& f) {
  out += f.name();
  out += '=';
  out += boost::json::serialize(f.value);
}

// Prints with an explicit stack of pending pieces: a condition or a literal text.
void append_text(std::string& out, const Q& root) {
  struct Piece {
    const Q* q;
    std::string_view text;  // used when q is null
  };
  std::vector<Piece> todo{{&root, {}}};
  while (!todo.empty()) {
    Piece piece = todo.back();
    todo.pop_back();
    if (!piece.q) {
      out += piece.text;
      continue;
    }
    const Q& q = *piece.q;
    switch (q.kind()) {
      case Q::Kind::empty:
        out += "<empty>";
        break;
      case Q::Kind::leaf:
        append_leaf(out, q.filter());
        break;
      case Q::Kind::not_:
        out += "NOT (";
        todo.push_back({nullptr, ")"});
        todo.push_back({&q.children()[0], {}});
        break;
      case Q::Kind::and_:
      case Q::Kind::or_: {
        const std::string_view sep = q.kind() == Q::Kind::and_ ? " AND " : " OR ";
        out += '(';
        todo.push_back({nullptr, ")"});
        const auto children = q.children();
        for (std::size_t i = children.size(); i-- > 0;) {
          todo.push_back({&children[i], {}});
          if (i > 0) todo.push_back({nullptr, sep});
        }
        break;
      }
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
    throw errors::ValueError("Invalid named filter '" + utils::text::printable(name) +
                             "': empty field name in path");
  if (f.lookup == Lookup::in && !value.is_array())
    throw errors::TypeError("The 'in' lookup of '" + utils::text::printable(name) +
                            "' needs a list, not " + std::string(values::kind_name(value)));
  if (f.lookup == Lookup::isnull && !value.is_bool())
    throw errors::TypeError("The 'isnull' lookup of '" + utils::text::printable(name) +
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
  auto node = std::make_shared<Node>(Kind::and_);
  node->children.reserve(named_filters.size());
  for (const auto& kv : named_filters)
    node->children.push_back(leaf(Filter::parse(kv.key(), kv.value())));
  node->count = node->children.size();
  node_ = std::move(node);
}

Q Q::leaf(Filter filter) {
  return Q(std::make_shared<const Node>(Kind::leaf, std::move(filter)));
}

Q::Kind Q::kind() const noexcept {
  return node_ ? node_->kind : Kind::empty;
}

std::span<const Q> Q::children() const noexcept {
  if (!node_) return {};
  const Node& n = *node_;
  if (n.kind == Kind::not_) return {&n.operand, 1};
  if (!n.prefix) return n.children;
  std::call_once(n.flat_once, [&n] {
    std::vector<const Node*> chain;
    for (const Node* p = &n; p; p = p->prefix.get()) chain.push_back(p);
    n.flat.reserve(n.count);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
      n.flat.insert(n.flat.end(), (*it)->children.begin(), (*it)->children.end());
  });
  return n.flat;
}

const Filter& Q::filter() const noexcept {
  return node_->filter;
}

Q Q::combine(Kind kind, const Q& a, const Q& b) {
  auto node = std::make_shared<Node>(kind);
  // The operands of `a`, when it is of the same kind, are shared rather than copied.
  if (a.kind() == kind) {
    node->prefix = a.node_;
    node->count = a.node_->count;
  } else {
    node->children.push_back(a);
    node->count = 1;
  }
  if (b.kind() == kind) {
    const auto more = b.children();
    node->children.insert(node->children.end(), more.begin(), more.end());
    node->count += more.size();
  } else {
    node->children.push_back(b);
    node->count += 1;
  }
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
  return Q(std::make_shared<const Node>(Kind::not_, Filter{}, *this));
}

bool operator==(const Q& a, const Q& b) noexcept {
  // Pairs still to compare, walked with an explicit stack rather than by recursion.
  std::vector<std::pair<const Q*, const Q*>> todo{{&a, &b}};
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    if (x->node_ == y->node_) continue;
    if (x->kind() != y->kind()) return false;
    if (x->kind() == Q::Kind::leaf) {
      if (!(x->filter() == y->filter())) return false;
      continue;
    }
    auto xc = x->children(), yc = y->children();
    if (xc.size() != yc.size()) return false;
    for (std::size_t i = 0; i < xc.size(); ++i) todo.emplace_back(&xc[i], &yc[i]);
  }
  return true;
}

Q::Node::~Node() {
  // Subtrees owned by this node alone are taken over here and released one at a time;
  // each released node then finds no such subtree left, so no destructor recurses.
  std::vector<std::shared_ptr<const Node>> owned;
  auto take = [&owned](std::shared_ptr<const Node>& p) {
    if (p && p.use_count() == 1) owned.push_back(std::move(p));
  };
  auto take_all = [&take](Node& n) {
    n.flat.clear();  // copies of operands held elsewhere in the chain
    for (Q& c : n.children) take(c.node_);
    take(n.operand.node_);
    take(n.prefix);
  };
  take_all(*this);
  while (!owned.empty()) {
    std::shared_ptr<const Node> p = std::move(owned.back());
    owned.pop_back();
    take_all(const_cast<Node&>(*p));  // its last owner: about to be destroyed
  }
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
