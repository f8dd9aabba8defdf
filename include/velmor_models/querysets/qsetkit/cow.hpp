#pragma once
// A value shared between query-set copies until one of them changes it.

#include <memory>

namespace velmor_models::querysets::qsetkit::detail {

/// Holds a T that copies share; `mut()` detaches first, so a change made through it is
/// never seen by another copy. An unset Cow stands for a default-constructed T and
/// costs no allocation.
///
/// Once a mutable reference has escaped to a caller (`leak()`, used by the getters that
/// hand out the stored object), the value can be changed at any later time through that
/// reference, so it is never shared again: copies of a leaked Cow copy the value.
template <class T>
class Cow {
 public:
  Cow() noexcept = default;
  Cow(const Cow& other) : ptr_(other.leaked_ ? std::make_shared<T>(*other.ptr_) : other.ptr_) {}
  Cow(Cow&&) noexcept = default;
  Cow& operator=(const Cow& other) {
    if (this != &other) *this = Cow(other);
    return *this;
  }
  Cow& operator=(Cow&&) noexcept = default;

  const T& get() const noexcept { return ptr_ ? *ptr_ : empty(); }

  /// The value for a change made now; detaches it from every copy first.
  T& mut() {
    if (!ptr_)
      ptr_ = std::make_shared<T>();
    else if (ptr_.use_count() != 1)
      ptr_ = std::make_shared<T>(*ptr_);
    return *ptr_;
  }

  /// The value for a caller that may change it at any time.
  T& leak() {
    T& value = mut();
    leaked_ = true;
    return value;
  }

  void set(T value) {
    ptr_ = std::make_shared<T>(std::move(value));
    leaked_ = false;
  }
  /// True when both hold the very same value object.
  bool shares_with(const Cow& other) const noexcept { return ptr_ && ptr_ == other.ptr_; }

 private:
  static const T& empty() {
    static const T value{};
    return value;
  }
  std::shared_ptr<T> ptr_;
  bool leaked_ = false;
};

}  // namespace velmor_models::querysets::qsetkit::detail
