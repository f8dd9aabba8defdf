#include "backends/sql/postgres_casefold.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/detail/unicode.hpp"

namespace velmor_models::backends::sql {
namespace {

// translate(u, table, ...) scans its table per character, so the table of the block
// (2^7 code points) of u's first character is searched first: a script's capitals mostly
// share one block (Latin-1, Greek, basic Cyrillic each do).
constexpr unsigned block_shift = 7;
// translate(text, u, ...) costs the text's length times u's, so a longer list of folding
// characters is first made unique.
constexpr int unique_above = 32;
// Serialises concurrent installs (CREATE OR REPLACE of one function from two
// transactions fails with "tuple concurrently updated").
constexpr std::int64_t install_lock = 0x76656c6d6f72;  // "velmor"

// The library's folding, every code point that changes, split by the SQL that applies it.
struct Folding {
  std::vector<std::pair<char32_t, char32_t>> simple;       // to one code point: translate()
  std::vector<std::pair<char32_t, std::u32string>> multi;  // to several: replace()
  std::uint64_t hash = 0;
};

// The code points of well-formed UTF-8 (casefold's output for a valid code point).
std::u32string code_points(std::string_view s) {
  std::u32string out;
  for (std::size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out += cp;
    i += len;
  }
  return out;
}

// FNV-1a, 64 bits: stable across builds and platforms, unlike std::hash.
void mix(std::uint64_t& h, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    h ^= (value >> (8 * i)) & 0xFF;
    h *= 0x100000001b3;
  }
}

Folding walk_folding() {
  Folding f;
  f.hash = 0xcbf29ce484222325;
  std::string in;
  for (char32_t cp = 1; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    in.clear();
    detail::append_utf8(in, cp);
    std::string out = detail::casefold(in);
    if (out == in) continue;
    std::u32string to = code_points(out);
    mix(f.hash, cp);
    for (char32_t c : to) mix(f.hash, c);
    mix(f.hash, 0);
    // A-Z are lower(t COLLATE "C")'s, for every text.
    if (cp < 0x80) continue;
    if (to.size() == 1)
      f.simple.emplace_back(cp, to[0]);
    else
      f.multi.emplace_back(cp, std::move(to));
  }
  return f;
}

const Folding& folding() {
  static const Folding f = walk_folding();
  return f;
}

// One code point inside an E'...' literal; the SQL text stays ASCII.
void put(std::string& out, char32_t cp) {
  static constexpr char hex[] = "0123456789ABCDEF";
  if (cp >= 0x20 && cp < 0x7F && cp != '\'' && cp != '\\') {
    out += static_cast<char>(cp);
    return;
  }
  int digits = cp < 0x10000 ? 4 : 8;
  out += digits == 4 ? "\\u" : "\\U";
  for (int i = digits - 1; i >= 0; --i) out += hex[(cp >> (4 * i)) & 0xF];
}

// A bracket expression for the characters `cps` (sorted), or for all others.
std::u32string bracket(const std::vector<char32_t>& cps, bool others) {
  std::u32string re = others ? U"[^" : U"[";
  for (std::size_t i = 0; i < cps.size();) {
    std::size_t j = i;
    while (j + 1 < cps.size() && cps[j + 1] == cps[j] + 1) ++j;
    re += cps[i];
    if (j > i) (re += U'-') += cps[j];
    i = j + 1;
  }
  return re + U"]";
}

std::string literal(const std::u32string& s) {
  std::string out = "E'";
  for (char32_t c : s) put(out, c);
  return out + "'";
}

std::string array(const std::vector<std::u32string>& items) {
  std::string out = "ARRAY[";
  for (std::size_t i = 0; i < items.size(); ++i) (out += i ? ", " : "") += literal(items[i]);
  return out + "]";
}

// @NAME@ stands for the generated parts. In the helper, u holds the text's folding
// characters (A-Z aside), usually none or a few, and m those among them that fold to
// several characters, each replaced everywhere at once. The function itself is inlined
// into the calling query, so that pure ASCII text costs what lower() costs; hence it is
// not STRICT (a strict function holding CASE is never inlined), NULL still gives NULL.
constexpr std::string_view install_template = R"sql(SELECT pg_advisory_xact_lock(@LOCK@);
CREATE OR REPLACE FUNCTION @SCHEMA@.velmor_casefold_other(t text) RETURNS text
LANGUAGE plpgsql IMMUTABLE STRICT PARALLEL SAFE AS $velmor$
DECLARE
  u text;
  m text;
  c text;
  b integer;
BEGIN
  u := regexp_replace(t COLLATE "C", @NOT_FOLDING@, '', 'g');
  IF u = '' THEN
    RETURN lower(t COLLATE "C");
  END IF;
  IF u COLLATE "C" ~ @MULTI@ THEN
    m := regexp_replace(u COLLATE "C", @NOT_MULTI@, '', 'g');
    WHILE m <> '' LOOP
      c := left(m, 1);
      t := replace(t COLLATE "C", c, (@MULTI_TO@)[strpos(@MULTI_FROM@, c)]);
      u := replace(u COLLATE "C", c, '');
      m := replace(m COLLATE "C", c, '');
    END LOOP;
    IF u = '' THEN
      RETURN lower(t COLLATE "C");
    END IF;
  END IF;
  IF char_length(u) > @UNIQUE_ABOVE@ THEN
    m := u;
    u := '';
    WHILE m <> '' LOOP
      c := left(m, 1);
      u := u || c;
      m := replace(m COLLATE "C", c, '');
    END LOOP;
  END IF;
  b := width_bucket(ascii(u), ARRAY[@BLOCK_STARTS@]);
  RETURN translate(lower(t COLLATE "C"), u, translate(u COLLATE "C",
    (@BLOCK_FROM@)[b] || @FROM@,
    (@BLOCK_TO@)[b] || @TO@));
END
$velmor$;
CREATE OR REPLACE FUNCTION @SCHEMA@.velmor_casefold(t text) RETURNS text
LANGUAGE sql IMMUTABLE PARALLEL SAFE AS $velmor$
SELECT CASE WHEN octet_length(t) = char_length(t) THEN lower(t COLLATE "C")
ELSE @SCHEMA@.velmor_casefold_other(t) END
$velmor$;
COMMENT ON FUNCTION @SCHEMA@.velmor_casefold(text) IS '@VERSION@';
)sql";

std::string build_install(std::string_view schema) {
  const Folding& f = folding();
  std::vector<char32_t> folding_cps, multi_cps;
  std::u32string multi_from, from, to;
  std::vector<std::u32string> multi_to;
  for (const auto& [cp, c] : f.simple) {
    folding_cps.push_back(cp);
    from += cp;
    to += c;
  }
  for (const auto& [cp, c] : f.multi) {
    folding_cps.push_back(cp);
    multi_cps.push_back(cp);
    multi_from += cp;
    multi_to.push_back(c);
  }
  std::sort(folding_cps.begin(), folding_cps.end());

  // The simple pairs again, one table per block, and where each block starts.
  std::vector<std::u32string> block_from, block_to;
  std::string block_starts;
  for (std::size_t i = 0; i < f.simple.size(); ++i) {
    char32_t block = f.simple[i].first >> block_shift;
    if (i == 0 || block != f.simple[i - 1].first >> block_shift) {
      (block_starts += i ? ", " : "") += std::to_string(block << block_shift);
      block_from.emplace_back();
      block_to.emplace_back();
    }
    block_from.back() += f.simple[i].first;
    block_to.back() += f.simple[i].second;
  }

  std::string quoted;
  postgres_dialect().quote_identifier(quoted, schema);
  const std::pair<std::string_view, std::string> parts[] = {
      {"SCHEMA", quoted},
      {"LOCK", std::to_string(install_lock)},
      {"VERSION", postgres_casefold_version()},
      {"NOT_FOLDING", literal(bracket(folding_cps, true) + U"+")},
      {"MULTI", literal(bracket(multi_cps, false))},
      {"NOT_MULTI", literal(bracket(multi_cps, true) + U"+")},
      {"MULTI_TO", array(multi_to)},
      {"MULTI_FROM", literal(multi_from)},
      {"UNIQUE_ABOVE", std::to_string(unique_above)},
      {"BLOCK_STARTS", block_starts},
      {"BLOCK_FROM", array(block_from)},
      {"FROM", literal(from)},
      {"BLOCK_TO", array(block_to)},
      {"TO", literal(to)},
  };
  std::string sql;
  for (std::string_view rest = install_template; !rest.empty();) {
    auto at = rest.find('@');
    sql += rest.substr(0, at);
    if (at == std::string_view::npos) break;
    auto end = rest.find('@', at + 1);
    std::string_view name = rest.substr(at + 1, end - at - 1);
    for (const auto& [key, value] : parts)
      if (key == name) sql += value;
    rest.remove_prefix(end + 1);
  }
  return sql;
}

}  // namespace

std::string postgres_casefold_install(std::string_view schema) {
  return build_install(schema);
}

const std::string& postgres_casefold_version() {
  // The mapping and the SQL's shape: a change to either replaces installed copies.
  static const std::string version = [] {
    std::uint64_t h = folding().hash;
    for (char c : install_template) mix(h, static_cast<unsigned char>(c));
    mix(h, block_shift);
    mix(h, unique_above);
    static constexpr char hex[] = "0123456789abcdef";
    std::string v = "velmor_casefold ";
    for (int i = 15; i >= 0; --i) v += hex[(h >> (4 * i)) & 0xF];
    return v;
  }();
  return version;
}

std::string_view postgres_casefold_version_query() noexcept {
  return "SELECT obj_description(p.oid, 'pg_proc') FROM pg_proc p JOIN pg_namespace n ON "
         "n.oid = p.pronamespace WHERE n.nspname = $1 AND p.proname = 'velmor_casefold' AND "
         "p.pronargs = 1 AND p.proargtypes[0] = 'text'::regtype";
}

std::string_view postgres_utf8_check_query() noexcept {
  return "SELECT current_setting('server_encoding') = 'UTF8'";
}

}  // namespace velmor_models::backends::sql
