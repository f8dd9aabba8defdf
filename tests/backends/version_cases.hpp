#pragma once
// The version decision on stored versions, which every store of versioned objects must
// make alike: objects saved under one class version, the class changed afterwards, and
// what each stored row comes back as, on the synchronous and the coroutine path, with and
// without the strict flag. A runner saves `old_rows` under `original_book()`, registers
// `latest` and saves `new_row` under it, then reads every row back.

#include <string>
#include <vector>

#include "backends/conformance_cases.hpp"

namespace velmor_test::conformance {

/// title STRING (required), pages INTEGER (optional).
inline ModelClassPtr original_book() {
  return ModelClass::create(
      "VersionedBook", "versioned_books",
      {{"title", CoreTypes::STRING, true, {}}, {"pages", CoreTypes::INTEGER, false, {}}});
}
/// The class after gaining an optional field: compatible with the original.
inline ModelClassPtr book_with_isbn() {
  return ModelClass::create("VersionedBook", "versioned_books",
                            {{"title", CoreTypes::STRING, true, {}},
                             {"pages", CoreTypes::INTEGER, false, {}},
                             {"isbn", CoreTypes::STRING, false, {}}});
}
/// The class after `pages` changed its type: rows saved before are not compatible.
inline ModelClassPtr book_with_text_pages() {
  return ModelClass::create(
      "VersionedBook", "versioned_books",
      {{"title", CoreTypes::STRING, true, {}}, {"pages", CoreTypes::STRING, false, {}}});
}

struct VersionCase {
  std::string name;
  ModelClassPtr latest;
  std::vector<json::object> old_rows;
  json::object new_row;
  bool strict = false;
  bool coroutine = false;
  /// Per row ordered by title: "current" or "legacy"; or, for a call that fails as a
  /// whole, the error's kind ("ValidationError").
  std::vector<std::string> expected;
};

inline std::vector<VersionCase> version_cases() {
  using S = std::vector<std::string>;
  const std::vector<json::object> old_rows = {{{"title", "a"}, {"pages", 10}}, {{"title", "b"}}};
  std::vector<VersionCase> out;
  for (bool coroutine : {false, true})
    for (bool strict : {false, true}) {
      const std::string path =
          std::string(coroutine ? "coroutine" : "sync") + (strict ? ", strict" : "");
      out.push_back({"gained an optional field, " + path,
                     book_with_isbn(),
                     old_rows,
                     {{"title", "c"}, {"isbn", "x"}},
                     strict,
                     coroutine,
                     S{"current", "current", "current"}});
      // The strict flag insists on the current class on the synchronous path only: rows
      // saved before the change are then checked as current instances, and a stored
      // value of the old type fails the call. The coroutine path does not consult it.
      S changed = S{"legacy", "legacy", "current"};
      if (strict && !coroutine) changed = S{"ValidationError"};
      out.push_back({"a field changed its type, " + path,
                     book_with_text_pages(),
                     old_rows,
                     {{"title", "c"}, {"pages", "ten"}},
                     strict,
                     coroutine,
                     changed});
      // An old row whose values fit the current class as well.
      S fitting = S{"legacy", "current"};
      if (strict && !coroutine) fitting = S{"current", "current"};
      out.push_back({"a field changed its type, old row fits, " + path,
                     book_with_text_pages(),
                     {{{"title", "b"}}},
                     {{"title", "c"}, {"pages", "ten"}},
                     strict,
                     coroutine,
                     fitting});
    }
  return out;
}

}  // namespace velmor_test::conformance
