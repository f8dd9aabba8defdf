#pragma once
// A value shared between query-set copies until one of them changes it.

#include <atomic>
#include <utility>

namespace velmor_models::querysets::qsetkit::detail {

/// Holds a T that copies share; `mut()` detaches first, so a change made through it is
/// never seen by another copy. An unset Cow stands for a default-constructed T and
/// costs no allocation.
///
/// Copies may live on different threads. The owner count is therefore read with acquire
/// and dropped with release: when `mut()` sees itself as the only owner, every read that
/// a former co-owner made of the value (on any thread) has happened before the change.
///
/// Once a mutable reference has escaped to a caller (`leak()`, used by the getters that
/// hand out the stored object), the value can be changed at any later time through that
/// reference, so it is never shared again: copies of a leaked Cow copy the value.
template <class T>
class Cow {
 public:
  Cow() noexcept = default;
  Cow(const Cow& other) : box_(other.leaked_ ? new Box(other.box_->value) : retain(other.box_)) {}
  Cow(Cow&& other) noexcept
      : box_(std::exchange(other.box_, nullptr)), leaked_(std::exchange(other.leaked_, false)) {}
  Cow& operator=(Cow other) noexcept {
    std::swap(box_, other.box_);
    std::swap(leaked_, other.leaked_);
    return *this;
  }
  ~Cow() { release(box_); }

  const T& get() const noexcept { return box_ ? box_->value : empty(); }

  /// The value for a change made now; detaches it from every copy first.
  T& mut() {
    if (!box_) {
      box_ = new Box();
    } else if (box_->owners.load(std::memory_order_acquire) != 1) {
      Box* own = new Box(box_->value);
      release(std::exchange(box_, own));
    }
    return box_->value;
  }

  /// The value for a caller that may change it at any time.
  T& leak() {
    T& value = mut();
    leaked_ = true;
    return value;
  }

  void set(T value) { *this = Cow(new Box(std::move(value))); }

  /// True when both hold the very same value object.
  bool shares_with(const Cow& other) const noexcept { return box_ && box_ == other.box_; }

 private:
  struct Box {
    Box() = default;
    explicit Box(const T& v) : value(v) {}
    explicit Box(T&& v) : value(std::move(v)) {}
    std::atomic<long> owners{1};
    T value{};
  };
  explicit Cow(Box* box) noexcept : box_(box) {}

  static Box* retain(Box* box) noexcept {
    if (box) box->owners.fetch_add(1, std::memory_order_relaxed);
    return box;
  }
  static void release(Box* box) noexcept {
    if (box && box->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) delete box;
  }
  static const T& empty() {
    static const T value{};
    return value;
  }

  Box* box_ = nullptr;
  bool leaked_ = false;
};

}  // namespace velmor_models::querysets::qsetkit::detail
