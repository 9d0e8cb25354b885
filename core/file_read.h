// Reading a whole file as UTF-8 text.
//
// The reader reports why a file could not be had instead of failing, so that
// each caller words the failure its own way. A signal that interrupts a
// blocking open or read (a FIFO without a writer, a slow device) runs the
// interrupt hook (core/interrupt.h) before the call is retried.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace quarvel {

struct FileText;

/// The bytes of a file, in a buffer that the read itself fills: nothing is
/// zero-filled first, so a large file is written once.
class FileBytes {
 public:
  FileBytes() = default;

  std::string_view view() const noexcept { return {data_.get(), size_}; }
  operator std::string_view() const noexcept { return view(); }
  /// A copy, for callers that keep the text as a string.
  operator std::string() const { return std::string(view()); }
  const char* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

 private:
  friend FileText read_file_text(const std::string& path);
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
};

/// The whole file at `path` as UTF-8 text, or why it could not be had.
struct FileText {
  enum class Problem { None, NulInPath, Os, NotUtf8 };
  FileBytes text;  // empty unless the problem is None
  Problem problem = Problem::None;
  int os_error = 0;  // errno, for Problem::Os
};
FileText read_file_text(const std::string& path);

/// The debug form of an operating-system error:
/// Os { code: 2, kind: NotFound, message: "No such file or directory" }
std::string os_error_debug(int code);

/// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates,
/// code points above U+10FFFF or truncated sequences).
bool valid_utf8(std::string_view bytes);

}  // namespace quarvel
