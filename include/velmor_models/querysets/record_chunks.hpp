#pragma once
// A query set's records a chunk at a time, as the default executors deliver them: each
// record stamped with the class versions it is compatible with and given its related
// records (select_related, loaded per chunk).

#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <memory>
#include <vector>

#include "velmor_glue/glue.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace velmor_models::backends {
class RecordCursor;
}

namespace velmor_models::querysets::executor {

class RecordChunks {
 public:
  /// `qs` must outlive the chunks; `coroutine` when they will be read with `anext`. The
  /// query runs at the first read.
  RecordChunks(const QuerySetReader& qs, std::size_t chunk_size, bool coroutine);
  ~RecordChunks();
  RecordChunks(const RecordChunks&) = delete;
  RecordChunks& operator=(const RecordChunks&) = delete;

  /// The next chunk (at most chunk_size records); empty once all are read.
  std::vector<velmor_glue::Data> next();
  boost::asio::awaitable<std::vector<velmor_glue::Data>> anext();

 private:
  const QuerySetReader& qs_;
  std::size_t chunk_size_;
  bool coroutine_;
  std::unique_ptr<backends::RecordCursor> cursor_;
};

}  // namespace velmor_models::querysets::executor
