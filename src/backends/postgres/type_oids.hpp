#pragma once
// The PostgreSQL types the store binds and reads by number (pg_type's oids, fixed for the
// built-in types).

#include <cstdint>

namespace velmor_models::backends::postgres::type_oid {

inline constexpr std::uint32_t inferred = 0;  ///< the server types the value by its context
inline constexpr std::uint32_t boolean = 16;
inline constexpr std::uint32_t bytea = 17;
inline constexpr std::uint32_t name = 19;
inline constexpr std::uint32_t int8 = 20;
inline constexpr std::uint32_t int2 = 21;
inline constexpr std::uint32_t int4 = 23;
inline constexpr std::uint32_t text = 25;
inline constexpr std::uint32_t oid = 26;
inline constexpr std::uint32_t json = 114;
inline constexpr std::uint32_t float4 = 700;
inline constexpr std::uint32_t float8 = 701;
inline constexpr std::uint32_t unknown = 705;
inline constexpr std::uint32_t bpchar = 1042;
inline constexpr std::uint32_t varchar = 1043;
inline constexpr std::uint32_t numeric = 1700;
inline constexpr std::uint32_t jsonb = 3802;

}  // namespace velmor_models::backends::postgres::type_oid
