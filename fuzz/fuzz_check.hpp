#pragma once
// The oracle's verdict: a broken expectation prints what was expected and aborts, which
// libFuzzer records as a crash with its input and the replay driver turns into a failure.

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(cond, what)                                                    \
  do {                                                                            \
    if (!(cond)) velmor_fuzz::fail(__FILE__, __LINE__, #cond, std::string(what)); \
  } while (false)

namespace velmor_fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* cond,
                              const std::string& what) {
  std::fprintf(stderr, "%s:%d: oracle failed: %s\n  %s\n", file, line, cond, what.c_str());
  std::fflush(stderr);
  std::abort();
}

// Input bytes read front to back; reads past the end give zeros.
class Bytes {
 public:
  Bytes(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  unsigned char byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool flag() { return byte() & 1; }
  std::size_t below(std::size_t n) { return n ? byte() % n : 0; }
  bool empty() const { return pos_ >= size_; }
  std::string rest() {
    std::string out(reinterpret_cast<const char*>(data_) + pos_, size_ - pos_);
    pos_ = size_;
    return out;
  }
  // The bytes up to the next `sep` (or the end), `sep` consumed.
  std::string until(unsigned char sep) {
    std::string out;
    while (pos_ < size_ && data_[pos_] != sep) out += static_cast<char>(data_[pos_++]);
    if (pos_ < size_) ++pos_;
    return out;
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace velmor_fuzz
