#include "core/error.h"

namespace quarvel {

void fail(std::string message, std::source_location where) {
  throw Failure(std::move(message), where);
}

void fail_unwrap(std::string_view debug_form, std::source_location where) {
  std::string m = "called `Result::unwrap()` on an `Err` value: ";
  m += debug_form;
  throw Failure(std::move(m), where);
}

void fail_index(std::uint64_t len, std::uint64_t index, std::source_location where) {
  std::string m = "index out of bounds: the len is ";
  m += std::to_string(len);
  m += " but the index is ";
  m += std::to_string(index);
  throw Failure(std::move(m), where);
}

void fail_none(std::source_location where) {
  throw Failure("called `Option::unwrap()` on a `None` value", where);
}

void fail_no_entry(std::source_location where) {
  throw Failure("no entry found for key", where);
}

}  // namespace quarvel
