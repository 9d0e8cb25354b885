// The one failure mechanism of the toolkit.
//
// Every step that cannot go on throws `Failure`: the exact message the caller
// sees, plus the place in these sources where the step gave up. Nothing inside
// the core catches it; the Python boundary turns it into the exception the
// user receives.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace quarvel {

class Failure : public std::exception {
 public:
  Failure(std::string message, std::source_location where) noexcept
      : message_(std::move(message)), where_(where) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Ends the current call with `message`.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// The message of a step that stops on a lower layer's error:
// "called `Result::unwrap()` on an `Err` value: " followed by `debug_form`.
[[noreturn]] void fail_unwrap(std::string_view debug_form,
                              std::source_location where = std::source_location::current());

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void fail_index(std::uint64_t len, std::uint64_t index,
                             std::source_location where = std::source_location::current());

// "called `Option::unwrap()` on a `None` value"
[[noreturn]] void fail_none(std::source_location where = std::source_location::current());

// "no entry found for key"
[[noreturn]] void fail_no_entry(std::source_location where = std::source_location::current());

}  // namespace quarvel
