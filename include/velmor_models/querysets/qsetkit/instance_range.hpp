#pragma once
// Walking a query set's instances in bounded memory: records are read and materialised a
// chunk at a time (QuerySet::iterate, and aiterate for coroutines).

#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "velmor_models/querysets/qsetkit/instance.hpp"
#include "velmor_models/querysets/record_chunks.hpp"

namespace velmor_models::querysets::qsetkit {

class QuerySetCore;

/// The instances of a query set's records, a chunk at a time, materialised as `execute()`
/// does (the version decision included). A query set marked by `none()` has none; one
/// whose executor factory is not the default runs its executor once and is handed out in
/// chunks. `qs` must outlive the chunks.
class InstanceChunks {
 public:
  InstanceChunks(const QuerySetCore& qs, std::size_t chunk_size, bool coroutine);
  ~InstanceChunks();
  InstanceChunks(const InstanceChunks&) = delete;
  InstanceChunks& operator=(const InstanceChunks&) = delete;
  /// The next chunk; empty once all are read.
  std::vector<Instance<Model>> next();
  boost::asio::awaitable<std::vector<Instance<Model>>> anext();

 private:
  /// The next chunk of records from the caller's own executor's whole result.
  std::vector<velmor_glue::Data> from_whole();
  const QuerySetCore& qs_;
  std::size_t chunk_size_;
  bool coroutine_;
  std::unique_ptr<executor::RecordChunks> chunks_;
  std::optional<std::vector<velmor_glue::Data>> whole_;  // from an executor of the caller's
  std::size_t taken_ = 0;
  bool done_ = false;
};

namespace detail {

/// What a range and a stream hold: the query set's copy, its chunks (which read it, so
/// the state never moves), and the current chunk as instances of `M`.
template <class M, class QS>
struct InstanceBuffer {
  InstanceBuffer(QS q, std::size_t n, bool coroutine)
      : qs(std::move(q)), chunks(qs, n, coroutine) {}
  QS qs;
  InstanceChunks chunks;
  std::vector<Instance<M>> buffer;
  std::size_t at = 0;
  /// Takes over a new chunk, read after the current one is used up.
  void refill(std::vector<Instance<Model>> chunk) {
    buffer.clear();
    at = 0;
    for (Instance<Model>& i : chunk) buffer.emplace_back(std::move(i));
  }
};

}  // namespace detail

/// A range over the instances of a query set (QuerySet::iterate). It owns a copy of the
/// query set; an iterator's instance stays valid until the iterator moves on. Leaving the
/// range early releases the statement.
template <class M, class QS>
class InstanceRange {
  using State = detail::InstanceBuffer<M, QS>;

 public:
  InstanceRange(QS qs, std::size_t chunk_size)
      : state_(std::make_unique<State>(std::move(qs), chunk_size, false)) {}

  class iterator {
   public:
    using value_type = Instance<M>;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    Instance<M>& operator*() const { return state_->buffer[state_->at]; }
    Instance<M>* operator->() const { return &**this; }
    iterator& operator++() {
      ++state_->at;
      fill(*state_);
      return *this;
    }
    void operator++(int) { ++*this; }
    friend bool operator==(const iterator& i, std::default_sentinel_t) {
      return i.state_->at == i.state_->buffer.size();
    }

   private:
    friend class InstanceRange;
    explicit iterator(State* state) : state_(state) {}
    State* state_ = nullptr;
  };

  /// Reads the first chunk.
  iterator begin() {
    fill(*state_);
    return iterator(state_.get());
  }
  std::default_sentinel_t end() const noexcept { return {}; }

 private:
  static void fill(State& s) {
    if (s.at == s.buffer.size()) s.refill(s.chunks.next());
  }
  std::unique_ptr<State> state_;
};

/// The coroutine twin of InstanceRange (QuerySet::aiterate): `co_await stream.next()` gives
/// the next instance, nullopt after the last. It owns a copy of the query set; reads never
/// block the caller's event loop.
template <class M, class QS>
class InstanceStream {
 public:
  InstanceStream(QS qs, std::size_t chunk_size)
      : state_(std::make_unique<State>(std::move(qs), chunk_size, true)) {}

  boost::asio::awaitable<std::optional<Instance<M>>> next() {
    State& s = *state_;
    if (s.at == s.buffer.size()) {
      std::vector<Instance<Model>> chunk = co_await s.chunks.anext();
      s.refill(std::move(chunk));
      if (s.buffer.empty()) co_return std::nullopt;
    }
    co_return std::move(s.buffer[s.at++]);
  }

 private:
  using State = detail::InstanceBuffer<M, QS>;
  std::unique_ptr<State> state_;
};

}  // namespace velmor_models::querysets::qsetkit
