#include "velmor_models/backends/backend.hpp"

#include <algorithm>
#include <iterator>

#include "velmor_utils/errors.hpp"

namespace velmor_models::backends {
namespace {

// Records read at once, handed out a chunk at a time.
class BufferedCursor final : public RecordCursor {
 public:
  explicit BufferedCursor(std::vector<velmor_glue::Data> records) : records_(std::move(records)) {}
  std::vector<velmor_glue::Data> next(std::size_t n) override {
    const std::size_t end = std::min(records_.size(), at_ + n);
    std::vector<velmor_glue::Data> out(std::make_move_iterator(records_.begin() + at_),
                                       std::make_move_iterator(records_.begin() + end));
    at_ = end;
    return out;
  }
  boost::asio::awaitable<std::vector<velmor_glue::Data>> anext(std::size_t n) override {
    co_return next(n);
  }

 private:
  std::vector<velmor_glue::Data> records_;
  std::size_t at_ = 0;
};

}  // namespace

std::unique_ptr<RecordCursor> Backend::open_cursor(const QuerySetReader& qs, bool) {
  return std::make_unique<BufferedCursor>(query(qs));
}

void Backend::create_table(const classes::model::ModelClass& cls, const std::vector<std::string>&) {
  throw velmor_utils::errors::ValueError("this store cannot create the table of " + cls.name());
}

void Backend::insert(const classes::model::ModelClass& cls, std::span<const boost::json::object>) {
  throw velmor_utils::errors::ValueError("this store cannot add records to " + cls.name());
}

driver::Lease Backend::lease() {
  throw velmor_utils::errors::TypeError(
      "this store runs no SQL, so it hands out no connection (the object store needs an SQL "
      "store)");
}

boost::asio::awaitable<driver::Lease> Backend::alease() {
  co_return lease();
}

}  // namespace velmor_models::backends
