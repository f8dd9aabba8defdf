// The query compiler: conditions, ordering, field selection, distinct fields and the
// window of a query set, written once; the dialect supplies the pieces that differ.
//
// Two-valued logic: a positive lookup may yield NULL where it is false (WHERE treats
// both alike, and AND/OR keep that true), so it is written plainly and can use indexes.
// Negations are pushed down to the lookups (De Morgan) and a negated lookup is written
// `(lookup) IS NOT TRUE`, which holds exactly where the lookup does not, NULLs included.

#include "velmor_models/backends/sql/compiler.hpp"

#include <algorithm>
#include <boost/json/string.hpp>
#include <vector>

#include "backends/history_layout.hpp"
#include "backends/stored_value.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/detail/unicode.hpp"

namespace velmor_models::backends::sql {
namespace {

using boost::json::value;
using classes::model::FieldDecl;
using classes::model::ModelClass;
using querysets::executor::QuerySetReader;
using velmor_utils::query::Filter;
using velmor_utils::query::Lookup;
using velmor_utils::query::lookup_name;
using velmor_utils::query::Q;

constexpr std::string_view metadata_column = "_metadata";

// Case folding of bound values, matching the SQL function velmor_casefold on the other
// side: full Unicode folding.
std::string fold_bound_text(std::string_view text) {
  return velmor_models::detail::casefold(text);
}

bool is_text_type(const CoreTypes& t) {
  return t == CoreTypes::STRING || t == CoreTypes::DATE || t == CoreTypes::DATETIME;
}
bool is_json_type(const CoreTypes& t) {
  return t == CoreTypes::ARRAY || t == CoreTypes::DICTIONARY;
}
bool is_text_lookup(Lookup lookup) {
  return lookup == Lookup::iexact || lookup == Lookup::contains || lookup == Lookup::icontains ||
         lookup == Lookup::startswith || lookup == Lookup::endswith;
}

// A field path resolved against the model: the column, and the bound JSON path text
// for a JSON-valued field (its whole value when the path names only the field).
struct Resolved {
  const FieldDecl* field = nullptr;
  std::string json_path;
  bool address = false;
  Operand operand() const {
    const bool plain = json_path.empty();
    return Operand{field->name, json_path, plain && is_text_type(field->type),
                   plain && field->type == CoreTypes::BOOLEAN,
                   address && field->name == saved_at_column};
  }
};

struct Window {
  std::optional<std::int64_t> limit;
  std::int64_t offset = 0;
  bool bounded() const noexcept { return limit || offset > 0; }
};

Window window_of(const querysets::executor::NumberPaginator& p) {
  Window w;
  // A negative offset counts as 0; a negative limit (slice 5 to 2) is an empty window.
  w.offset = std::max<std::int64_t>(p.offset.value_or(0), 0);
  if (p.limit) w.limit = std::max<std::int64_t>(*p.limit, 0);
  return w;
}

class Compiler {
 public:
  Compiler(const CheckedQuery& qs, const Dialect& dialect)
      : qs_(qs),
        model_(*qs.entity()),
        d_(dialect),
        // A plain table need not have SQLite's rowid (WITHOUT ROWID): its ties stay
        // unordered, which the query semantics allow.
        insertion_order_(model_.is_plain_table() ? std::string_view() : dialect.insertion_order()),
        w_(dialect) {
    w_.text.reserve(256);
    w_.params.reserve(8);
  }

  Statement select() {
    Statement out;
    out.columns = result_columns();
    const auto& distinct = qs_.get_query_specifier().distinct;
    w_ << "SELECT ";
    column_list(out.columns);
    if (distinct.empty()) {
      from_where();
      order_by(insertion_order_);
    } else {
      // The first row of each group in the query's ordering, then the ordering again.
      w_ << " FROM (SELECT *, ";
      row_number(true);
      if (!insertion_order_.empty()) (w_ << ", ") << insertion_order_ << " AS \"_velmor_rowid\"";
      from_where();
      w_ << ") AS \"_velmor_distinct\" WHERE \"_velmor_row\" = 1";
      order_by(insertion_order_.empty() ? "" : "\"_velmor_rowid\"");
    }
    window();
    out.text = std::move(w_.text);
    out.params = std::move(w_.params);
    return out;
  }

  Statement count() {
    const auto& distinct = qs_.get_query_specifier().distinct;
    bool bounded = window_of(qs_.get_paginator()).bounded();
    if (distinct.empty() && !bounded) {
      w_ << "SELECT count(*)";
      from_where();
    } else {
      // Which rows a window or a distinct group keeps does not change how many.
      w_ << "SELECT count(*) FROM (SELECT 1";
      if (distinct.empty()) {
        from_where();
      } else {
        w_ << " FROM (SELECT ";
        row_number(false);
        from_where();
        w_ << ") AS \"_velmor_distinct\" WHERE \"_velmor_row\" = 1";
      }
      window();
      w_ << ") AS \"_velmor_rows\"";
    }
    Statement out;
    out.text = std::move(w_.text);
    out.params = std::move(w_.params);
    return out;
  }

 private:
  // The column of a checked path, and the bound JSON path text for a JSON-valued field
  // (its whole value when the path names only the field).
  Resolved resolve(std::string_view path) const {
    const ResolvedPath& p = qs_.path(path);
    Resolved r;
    r.field = p.field;
    r.address = p.address;
    if (!p.address && is_json_type(p.field->type)) {
      std::vector<std::string_view> keys(p.keys.begin(), p.keys.end());
      r.json_path = d_.json_path(keys);
    }
    return r;
  }

  // The version marker LATEST in an address filter: for an object version, the newest
  // version of the object among the rows of the table; for a class version, the version
  // the row was stored under (so it restricts nothing). True when handled.
  bool latest_lookup(const Filter& f, const Resolved& r, bool negated) {
    if (f.lookup != Lookup::exact || !is_latest_marker(f.value)) return false;
    if (r.field->name == "_class_version") {
      w_ << (negated ? "FALSE" : "TRUE");
      return true;
    }
    if (r.field->name != "_object_version") return false;
    if (qs_.get_as_of()) {
      // As of a time each object has one row left, its newest then.
      w_ << (negated ? "FALSE" : "TRUE");
      return true;
    }
    std::string table;
    d_.quote_identifier(table, qs_.table_name());
    w_ << "(" << table
       << ".\"_object_version\" = (SELECT max(\"_velmor_v\".\"_object_version\") FROM " << table
       << " AS \"_velmor_v\" WHERE \"_velmor_v\".\"_object_id\" = " << table << ".\"_object_id\"))";
    if (negated) w_ << " IS NOT TRUE";
    return true;
  }

  std::vector<ResultColumn> result_columns() {
    const auto& only = qs_.get_query_specifier().only;
    std::vector<ResultColumn> columns;
    columns.reserve((only.empty() ? model_.fields().size() : only.size()) + 1);
    for (const FieldDecl& f : model_.fields())
      if (only.empty() || std::find(only.begin(), only.end(), f.name) != only.end())
        columns.push_back(ResultColumn{f.name, f.type});
    // Rows of a plain table (one the framework did not write) have no metadata column.
    if (!model_.is_plain_table())
      columns.push_back(ResultColumn{std::string(metadata_column), CoreTypes::STRING});
    return columns;
  }

  void column_list(const std::vector<ResultColumn>& columns) {
    bool first = true;
    for (const auto& c : columns) {
      if (!first) w_ << ", ";
      first = false;
      d_.quote_identifier(w_.text, c.name);
    }
  }

  void from_where() {
    w_ << " FROM ";
    d_.quote_identifier(w_.text, qs_.table_name());
    const Q& q = qs_.get_conditions();
    const std::optional<std::int64_t> as_of = qs_.get_as_of();
    if (q.kind() == Q::Kind::empty && !as_of) return;
    w_ << " WHERE ";
    if (as_of) {
      as_of_rows(*as_of);
      if (q.kind() == Q::Kind::empty) return;
      w_ << " AND ";
    }
    condition(q, false, !as_of);
  }

  // `table`.`column`, each quoted by the dialect.
  std::string qualified(std::string_view table, std::string_view column) const {
    std::string out;
    d_.quote_identifier(out, table);
    out += '.';
    d_.quote_identifier(out, column);
    return out;
  }

  // The rows of the table as of `at`: per object, the version saved by then whose next
  // version (if any) was saved after it, unless a deletion by then took that version or a
  // later one away (an object saved again after its deletion continues its versions). An
  // object's versions are saved in the order of their times, so that is its newest then,
  // and one index step per row finds it. A NULL save time counts as the earliest.
  void as_of_rows(std::int64_t at) {
    const std::string table = qs_.table_name();
    constexpr std::string_view versions = "_velmor_v", deletions = "_velmor_d";
    const auto saved_at = [&](std::string_view in) {
      w_ << "COALESCE(" << qualified(in, saved_at_column) << ", ";
      w_.bind(earliest_saved_at);
      w_ << ")";
    };
    saved_at(table);
    w_ << " <= ";
    w_.bind(at);
    w_ << " AND COALESCE((SELECT ";
    saved_at(versions);
    w_ << " FROM ";
    d_.quote_identifier(w_.text, table);
    w_ << " AS ";
    d_.quote_identifier(w_.text, versions);
    w_ << " WHERE " << qualified(versions, "_object_id") << " = " << qualified(table, "_object_id")
       << " AND " << qualified(versions, "_object_version") << " > "
       << qualified(table, "_object_version") << " ORDER BY "
       << qualified(versions, "_object_version") << " LIMIT 1) > ";
    w_.bind(at);
    w_ << ", TRUE) AND NOT EXISTS (SELECT 1 FROM ";
    d_.quote_identifier(w_.text, deletions_table);
    w_ << " AS ";
    d_.quote_identifier(w_.text, deletions);
    w_ << " WHERE " << qualified(deletions, "class_name") << " = ";
    w_.bind(boost::json::string(qs_.entity_name()));
    w_ << " AND " << qualified(deletions, "object_id") << " = " << qualified(table, "_object_id")
       << " AND " << qualified(deletions, "deleted_at") << " <= ";
    w_.bind(at);
    w_ << " AND " << qualified(deletions, "version")
       << " >= " << qualified(table, "_object_version") << ")";
  }

  // ROW_NUMBER() numbering the rows of each distinct group in the query's ordering.
  void row_number(bool ordered) {
    w_ << "ROW_NUMBER() OVER (PARTITION BY ";
    bool first = true;
    for (const auto& name : qs_.get_query_specifier().distinct) {
      if (!first) w_ << ", ";
      first = false;
      d_.value_of(w_, resolve(name).operand());
    }
    if (ordered) order_by(insertion_order_);
    w_ << ") AS \"_velmor_row\"";
  }

  void order_by(std::string_view tie_breaker) {
    bool first = true;
    for (const auto& term : qs_.get_order_by()) {
      w_ << (first ? " ORDER BY " : ", ");
      first = false;
      d_.order_term(w_, resolve(term.field()).operand(), term.descending());
    }
    if (!tie_breaker.empty()) (w_ << (first ? " ORDER BY " : ", ")) << tie_breaker;
  }

  void window() {
    Window win = window_of(qs_.get_paginator());
    if (win.bounded()) d_.window(w_, win.limit, win.offset);
  }

  // Recurses once per level of AND and OR (bounded by the check); a run of NOTs is
  // walked in a loop.
  void condition(const Q& node, bool negated, bool top) {
    const Q* q = &node;
    for (; q->kind() == Q::Kind::not_; q = &q->children()[0]) negated = !negated;
    switch (q->kind()) {
      case Q::Kind::empty:
        w_ << (negated ? "FALSE" : "TRUE");
        return;
      case Q::Kind::leaf:
        lookup(q->filter(), negated);
        return;
      case Q::Kind::not_:
        return;
      case Q::Kind::and_:
      case Q::Kind::or_: {
        const char* op = (q->kind() == Q::Kind::and_) != negated ? " AND " : " OR ";
        if (!top) w_ << "(";
        bool first = true;
        for (const Q& child : q->children()) {
          if (!first) w_ << op;
          first = false;
          condition(child, negated, false);
        }
        if (!top) w_ << ")";
        return;
      }
    }
  }

  // The values were checked: each fits its lookup and its field.
  void lookup(const Filter& f, bool negated) {
    const Resolved r = resolve(f.path);
    if (latest_lookup(f, r, negated)) return;
    const Operand op = r.operand();
    const value& v = f.value;

    if (f.lookup == Lookup::isnull || v.is_null()) {
      const bool is_null = f.lookup != Lookup::isnull || v.get_bool();
      Operand stored = op;
      stored.earliest_null = false;  // a test for the NULL itself
      d_.value_of(w_, stored);
      w_ << (is_null != negated ? " IS NULL" : " IS NOT NULL");
      return;
    }
    if (f.lookup == Lookup::in) return in_lookup(op, f, negated);

    value operand = bound(v);
    Lookup lk = f.lookup;
    if (!d_.text_holds_nul() && holds_nul(operand)) {
      // No stored text holds a NUL: such text equals and contains none, and ranks as its
      // part before the NUL does among texts that lack the rest (s > "ab\0c" exactly when
      // s > "ab").
      const bool greater = lk == Lookup::gt || lk == Lookup::gte;
      if (!greater && lk != Lookup::lt && lk != Lookup::lte) {
        w_ << (negated ? "TRUE" : "FALSE");
        return;
      }
      const std::string_view text = operand.get_string();
      operand = boost::json::string(text.substr(0, text.find('\0')));
      lk = greater ? Lookup::gt : Lookup::lte;
    }
    const bool text = is_text_lookup(lk);
    // Inside a JSON value only a string is text for the text lookups (json_extract hands
    // out an array or object as its JSON text, and a text lookup would read a number as
    // text). Comparisons follow the total order, in which an array or object is its JSON
    // text among the texts, which is what json_extract yields.
    bool guard = op.json() && text;
    bool wrap = guard || negated;
    if (wrap) w_ << "(";
    if (guard) {
      d_.json_is(w_, op, JsonKind::text);
      w_ << " AND ";
    }
    switch (lk) {
      case Lookup::iexact:
        d_.text_of(w_, op, true);
        w_ << " = ";
        w_.bind(boost::json::string(fold_bound_text(operand.get_string())));
        break;
      case Lookup::contains:
      case Lookup::startswith:
      case Lookup::endswith:
        d_.text_match(w_, lk, op, operand.get_string(), false);
        break;
      case Lookup::icontains:
        d_.text_match(w_, Lookup::contains, op, fold_bound_text(operand.get_string()), true);
        break;
      default: {
        static constexpr std::string_view ops[] = {" = ", " > ", " >= ", " < ", " <= "};
        std::size_t i = lk == Lookup::exact ? 0
                        : lk == Lookup::gt  ? 1
                        : lk == Lookup::gte ? 2
                        : lk == Lookup::lt  ? 3
                                            : 4;
        d_.value_of(w_, op);
        w_ << ops[i];
        d_.bind_value(w_, op, operand);
      }
    }
    if (wrap) w_ << ")";
    if (negated) w_ << " IS NOT TRUE";
  }

  void in_lookup(const Operand& op, const Filter& f, bool negated) {
    std::vector<value> values;
    values.reserve(f.value.get_array().size());
    for (const value& e : f.value.get_array())
      // null equals nothing, nor does text with a NUL where no stored text holds one
      if (!e.is_null() && (d_.text_holds_nul() || !holds_nul(e))) values.push_back(bound(e));
    if (values.empty()) {
      w_ << (negated ? "TRUE" : "FALSE");
      return;
    }
    // Membership is equality: an array or object inside a JSON value is its JSON text.
    if (negated) w_ << "(";
    d_.in_list(w_, op, values);
    if (negated) w_ << ")";
    if (negated) w_ << " IS NOT TRUE";
  }

  static bool holds_nul(const value& v) {
    return v.is_string() && std::string_view(v.get_string()).find('\0') != std::string_view::npos;
  }

  // A checked integer is bound as a signed 64-bit one.
  static value bound(const value& v) {
    return v.is_uint64() ? value(static_cast<std::int64_t>(v.get_uint64())) : v;
  }

  const CheckedQuery& qs_;
  const ModelClass& model_;
  const Dialect& d_;
  std::string_view insertion_order_;  ///< the last tie-breaker; empty: none
  StatementWriter w_;
};

}  // namespace

Statement compile_select(const CheckedQuery& qs, const Dialect& dialect) {
  return Compiler(qs, dialect).select();
}

Statement compile_count(const CheckedQuery& qs, const Dialect& dialect) {
  return Compiler(qs, dialect).count();
}

Statement compile_select(const QuerySetReader& qs, const Dialect& dialect) {
  return compile_select(check_query(qs), dialect);
}

Statement compile_count(const QuerySetReader& qs, const Dialect& dialect) {
  return compile_count(check_query(qs), dialect);
}

}  // namespace velmor_models::backends::sql
