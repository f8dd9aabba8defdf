// Storage of Bytes: malloc'd without a zeroing pass; large buffers ask for transparent huge
// pages, because faulting in 4 KiB pages costs more than base64-encoding them.

#include <cstdlib>
#include <cstring>
#include <new>

#include "velmor_models/utils/files.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmor_models::utils::files {
namespace {

#if defined(__linux__)
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeThreshold = 2 * kHugePage;
#endif

void* allocate_storage(std::size_t size) {
#if defined(__linux__)
  if (size >= kHugeThreshold) {
    const std::size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
    if (void* p = std::aligned_alloc(kHugePage, rounded)) {
      ::madvise(p, rounded, MADV_HUGEPAGE);  // a hint only; failure just means small pages
      return p;
    }
  }
#endif
  return std::malloc(size);
}

}  // namespace

void Bytes::FreeDeleter::operator()(std::byte* p) const noexcept {
  std::free(p);
}

void Bytes::allocate(std::size_t size) {
  storage_.reset();
  size_ = 0;
  if (size == 0) return;
  auto* p = static_cast<std::byte*>(allocate_storage(size));
  if (p == nullptr) throw std::bad_alloc();
  storage_.reset(p);
  size_ = size;
}

Bytes::Bytes(std::span<const std::byte> data) {
  allocate(data.size());
  if (!data.empty()) std::memcpy(storage_.get(), data.data(), data.size());
}

Bytes::Bytes(std::string_view chars) : Bytes(as_byte_span(chars)) {}

}  // namespace velmor_models::utils::files
