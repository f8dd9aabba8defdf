#pragma once
// Conditions: a plain tree of named filters combined by AND, OR and NOT.
//
// A leaf is one named filter in the framework's `field__lookup` syntax: the name is a
// path of field names joined by "__", optionally ending in a lookup (`exact` when
// absent). Nodes are immutable and shared, so copying a condition is cheap and a copy
// can be combined further without touching its source. Backends walk the tree through
// `kind()`, `children()` and `filter()`. Printing, comparing and destroying a condition
// walk it without recursion, so any depth is safe (100,000 nested negations included).

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmor_utils::query {

enum class Lookup {
  exact,
  iexact,
  contains,
  icontains,
  startswith,
  endswith,
  gt,
  gte,
  lt,
  lte,
  in,
  isnull
};

/// The lookup's name as written after the last "__".
std::string_view lookup_name(Lookup lookup) noexcept;

/// One named filter: a field path, a lookup and the value to compare with.
struct Filter {
  std::string path;  ///< field names joined by "__", without the lookup
  Lookup lookup = Lookup::exact;
  boost::json::value value;

  /// Parses `name` ("age__gte", "_address__object_version", "name"); ValueError for an
  /// empty name or an empty path segment, TypeError for a value that the lookup cannot
  /// take (`in` needs a list, `isnull` a boolean).
  static Filter parse(std::string_view name, boost::json::value value);
  /// The field names of the path.
  std::vector<std::string_view> path_segments() const;
  /// The name that parse reads back into this filter: the path, then "__" and the lookup
  /// unless it is `exact` (written out too when the path's last segment is itself a lookup
  /// name, as in "tags__in__exact").
  std::string name() const;
  friend bool operator==(const Filter&, const Filter&) = default;
};

class Q {
 public:
  enum class Kind { empty, leaf, and_, or_, not_ };
  struct Node;

  /// The empty condition: no restriction, false as a truth value.
  Q() noexcept = default;
  /// AND of one leaf per named filter, in the mapping's order; empty mapping: empty.
  explicit Q(const boost::json::object& named_filters);
  /// One leaf.
  static Q leaf(Filter filter);

  Kind kind() const noexcept;
  /// Operands of an AND or OR node, the single operand of a NOT node.
  std::span<const Q> children() const noexcept;
  /// The filter of a leaf (precondition: kind() == leaf).
  const Filter& filter() const noexcept;

  explicit operator bool() const noexcept { return node_ != nullptr; }

  /// AND: an empty side yields the other; nested ANDs are flattened.
  Q& operator&=(const Q& other);
  friend Q operator&(Q a, const Q& b) { return a &= b; }
  /// OR: an empty side yields the other; nested ORs are flattened.
  Q& operator|=(const Q& other);
  friend Q operator|(Q a, const Q& b) { return a |= b; }
  /// NOT; the negation of the empty condition is empty.
  Q operator~() const;

  /// Structural equality.
  friend bool operator==(const Q& a, const Q& b) noexcept;

  /// Readable form: `age__gte=18`, `(a=1 AND NOT (b="x"))`, `<empty>`.
  std::string str() const;
  friend std::ostream& operator<<(std::ostream& os, const Q& q);

 private:
  explicit Q(std::shared_ptr<const Node> node) noexcept : node_(std::move(node)) {}
  static Q combine(Kind kind, const Q& a, const Q& b);
  std::shared_ptr<const Node> node_;
};

struct Q::Node {
  Kind kind;
  Filter filter;            // leaf only
  std::vector<Q> children;  // and_/or_: the operands after those of `prefix`
  Q operand;                // not_: kept inline, so a negation costs one allocation
  /// and_/or_: a node of the same kind whose operands come first. Adding one operand to
  /// a wide AND (each filter() call does) then shares the operands it had instead of
  /// copying them, so n successive additions cost O(n), not O(n^2).
  std::shared_ptr<const Node> prefix;
  std::size_t count = 0;  ///< and_/or_: all operands, the prefix's included
  /// The operands in one row, made the first time `children()` asks for them.
  mutable std::vector<Q> flat;
  mutable std::once_flag flat_once;

  Node(Kind k, Filter f = {}, Q op = {}) : kind(k), filter(std::move(f)), operand(std::move(op)) {}
  /// Releases the subtrees it owns alone one by one rather than recursively, so that
  /// however deep a condition is nested, destroying it does not exhaust the stack.
  ~Node();
};

}  // namespace velmor_utils::query
