// Normalising 64 MiB payloads: raw bytes (encoded) and canonical base64 (checked, returned).
// The codec is also measured per kernel into preallocated buffers, next to OpenSSL's
// EVP_EncodeBlock / EVP_DecodeBlock doing the same work.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "velmor_models/utils/files.hpp"

namespace {

using namespace velmor_models::utils::files;
using base64::Kernel;

constexpr std::size_t kPayload = std::size_t{64} << 20;

struct Inputs {
  Bytes raw;         // 64 MiB of random bytes
  Bytes canonical;   // 64 MiB of canonical base64 (the encoding of 48 MiB)
  std::string text;  // 64 MiB of ASCII text that is not base64
  Inputs() {
    std::mt19937_64 rng(42);
    raw = Bytes::build(kPayload, [&](std::span<std::byte> out) {
      for (std::size_t i = 0; i < out.size(); i += 8) {
        const std::uint64_t r = rng();
        std::memcpy(out.data() + i, &r, 8);
      }
    });
    canonical = base64::encode(raw.span().first(kPayload / 4 * 3));
    text.resize(kPayload);
    for (char& c : text) c = static_cast<char>(' ' + rng() % 95);
  }
};

const Inputs& inputs() {
  static const Inputs in;
  return in;
}

// Output buffers are written once before timing so page faults stay out of the codec figures.
std::vector<std::byte>& scratch(std::size_t size) {
  static std::vector<std::byte> buf;
  if (buf.size() < size) buf.assign(size, std::byte{0});
  return buf;
}

void finish(benchmark::State& state, std::size_t bytes_per_iteration) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes_per_iteration));
}

// --- convert_data_to_base64, end to end (allocation of the result included) ---

void BM_Normalise_RawBytes(benchmark::State& state) {
  const Bytes& raw = inputs().raw;
  for (auto _ : state) benchmark::DoNotOptimize(convert_data_to_base64(raw));
  finish(state, kPayload);
}

void BM_Normalise_CanonicalBytes_Moved(benchmark::State& state) {
  Bytes payload = inputs().canonical;
  for (auto _ : state) {
    Bytes result = convert_data_to_base64(std::move(payload));
    benchmark::DoNotOptimize(result.data());
    payload = std::move(result);
  }
  finish(state, kPayload);
}

void BM_Normalise_CanonicalBytes_Copied(benchmark::State& state) {
  const Bytes& payload = inputs().canonical;
  for (auto _ : state) benchmark::DoNotOptimize(convert_data_to_base64(payload));
  finish(state, kPayload);
}

void BM_Normalise_CanonicalText(benchmark::State& state) {
  const std::string text(inputs().canonical.chars());
  for (auto _ : state) benchmark::DoNotOptimize(convert_data_to_base64(text));
  finish(state, kPayload);
}

// The same text, read from huge-page-backed storage: the gap to CanonicalText is the cost of
// the caller's std::string living in 4 KiB pages.
void BM_Normalise_CanonicalTextView(benchmark::State& state) {
  const std::string_view text = inputs().canonical.chars();
  for (auto _ : state) benchmark::DoNotOptimize(convert_data_to_base64(text));
  finish(state, kPayload);
}

void BM_Normalise_AsciiText(benchmark::State& state) {
  const std::string& text = inputs().text;
  for (auto _ : state) benchmark::DoNotOptimize(convert_data_to_base64(text));
  finish(state, kPayload);
}

// --- codec per kernel, into preallocated buffers ---

void BM_IsCanonical(benchmark::State& state, Kernel k) {
  const auto text = inputs().canonical.span();
  for (auto _ : state) {
    const bool ok = base64::is_canonical_base64(text, k);
    if (!ok) state.SkipWithError("canonical input rejected");
    benchmark::DoNotOptimize(ok);
  }
  finish(state, kPayload);
}

void BM_Encode(benchmark::State& state, Kernel k) {
  const auto data = inputs().raw.span();
  std::byte* out = scratch(base64::encoded_size(kPayload)).data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(base64::encode_into(data, out, k));
    benchmark::ClobberMemory();
  }
  finish(state, kPayload);
}

void BM_Decode(benchmark::State& state, Kernel k) {
  const auto text = inputs().canonical.span();
  std::byte* out = scratch(base64::encoded_size(kPayload)).data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(base64::decode_into(text, out, k));
    benchmark::ClobberMemory();
  }
  finish(state, kPayload);
}

// --- OpenSSL, the same work ---

const unsigned char* uchars(std::span<const std::byte> s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

void BM_OpenSSL_EncodeBlock(benchmark::State& state) {
  const auto data = inputs().raw.span();
  auto* out = reinterpret_cast<unsigned char*>(scratch(base64::encoded_size(kPayload) + 1).data());
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_EncodeBlock(out, uchars(data), static_cast<int>(data.size())));
    benchmark::ClobberMemory();
  }
  finish(state, kPayload);
}

void BM_OpenSSL_DecodeBlock(benchmark::State& state) {
  const auto text = inputs().canonical.span();
  auto* out = reinterpret_cast<unsigned char*>(scratch(base64::encoded_size(kPayload)).data());
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_DecodeBlock(out, uchars(text), static_cast<int>(text.size())));
    benchmark::ClobberMemory();
  }
  finish(state, kPayload);
}

// The canonical check done the long way: decode, re-encode, compare.
void BM_OpenSSL_CanonicalByRoundTrip(benchmark::State& state) {
  const auto text = inputs().canonical.span();
  static std::vector<unsigned char> decoded(kPayload);
  static std::vector<unsigned char> again(kPayload + 1);
  for (auto _ : state) {
    const int n = EVP_DecodeBlock(decoded.data(), uchars(text), static_cast<int>(text.size()));
    // EVP_DecodeBlock counts padding as zero bytes; with no padding here n is exact.
    const int m = EVP_EncodeBlock(again.data(), decoded.data(), n);
    const bool same = static_cast<std::size_t>(m) == text.size() &&
                      std::memcmp(again.data(), text.data(), text.size()) == 0;
    if (!same) state.SkipWithError("round trip differs");
    benchmark::DoNotOptimize(same);
  }
  finish(state, kPayload);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  (void)inputs();
  const auto ms = benchmark::kMillisecond;
  benchmark::RegisterBenchmark("Normalise/RawBytes", BM_Normalise_RawBytes)
      ->Unit(ms)
      ->UseRealTime();
  benchmark::RegisterBenchmark("Normalise/CanonicalBytes/moved", BM_Normalise_CanonicalBytes_Moved)
      ->Unit(ms)
      ->UseRealTime();
  benchmark::RegisterBenchmark("Normalise/CanonicalBytes/copied",
                               BM_Normalise_CanonicalBytes_Copied)
      ->Unit(ms)
      ->UseRealTime();
  benchmark::RegisterBenchmark("Normalise/CanonicalText", BM_Normalise_CanonicalText)
      ->Unit(ms)
      ->UseRealTime();
  benchmark::RegisterBenchmark("Normalise/CanonicalTextView", BM_Normalise_CanonicalTextView)
      ->Unit(ms)
      ->UseRealTime();
  benchmark::RegisterBenchmark("Normalise/AsciiText", BM_Normalise_AsciiText)
      ->Unit(ms)
      ->UseRealTime();
  for (Kernel k : {Kernel::kAvx512, Kernel::kAvx2, Kernel::kScalar}) {
    if (!base64::kernel_available(k)) continue;
    const std::string name(base64::kernel_name(k));
    benchmark::RegisterBenchmark(("IsCanonical/" + name).c_str(), BM_IsCanonical, k)
        ->Unit(ms)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("Encode/" + name).c_str(), BM_Encode, k)->Unit(ms)->UseRealTime();
    benchmark::RegisterBenchmark(("Decode/" + name).c_str(), BM_Decode, k)->Unit(ms)->UseRealTime();
  }
  benchmark::RegisterBenchmark("OpenSSL/EncodeBlock", BM_OpenSSL_EncodeBlock)
      ->Unit(ms)
      ->UseRealTime();
  benchmark::RegisterBenchmark("OpenSSL/DecodeBlock", BM_OpenSSL_DecodeBlock)
      ->Unit(ms)
      ->UseRealTime();
  benchmark::RegisterBenchmark("OpenSSL/CanonicalByRoundTrip", BM_OpenSSL_CanonicalByRoundTrip)
      ->Unit(ms)
      ->UseRealTime();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
