#include "core/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/ast.h"
#include "core/interrupt.h"

namespace quarvel {

namespace {

const char* error_kind_name(int code) {
  switch (code) {
    case EPERM:
    case EACCES: return "PermissionDenied";
    case ENOENT: return "NotFound";
    case EINTR: return "Interrupted";
    case E2BIG: return "ArgumentListTooLong";
    case EAGAIN: return "WouldBlock";
    case ENOMEM: return "OutOfMemory";
    case EBUSY: return "ResourceBusy";
    case EEXIST: return "AlreadyExists";
    case EXDEV: return "CrossesDevices";
    case ENOTDIR: return "NotADirectory";
    case EISDIR: return "IsADirectory";
    case EINVAL: return "InvalidInput";
    case ETXTBSY: return "ExecutableFileBusy";
    case EFBIG: return "FileTooLarge";
    case ENOSPC: return "StorageFull";
    case ESPIPE: return "NotSeekable";
    case EROFS: return "ReadOnlyFilesystem";
    case EMLINK: return "TooManyLinks";
    case EPIPE: return "BrokenPipe";
    case EDEADLK: return "Deadlock";
    case ENAMETOOLONG: return "InvalidFilename";
    case ENOSYS: return "Unsupported";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case ELOOP: return "FilesystemLoop";
    case EADDRINUSE: return "AddrInUse";
    case EADDRNOTAVAIL: return "AddrNotAvailable";
    case ENETDOWN: return "NetworkDown";
    case ENETUNREACH: return "NetworkUnreachable";
    case ECONNABORTED: return "ConnectionAborted";
    case ECONNRESET: return "ConnectionReset";
    case ENOTCONN: return "NotConnected";
    case ETIMEDOUT: return "TimedOut";
    case ECONNREFUSED: return "ConnectionRefused";
    case EHOSTUNREACH: return "HostUnreachable";
    case ESTALE: return "StaleNetworkFileHandle";
    case EDQUOT: return "FilesystemQuotaExceeded";
    default: return "Uncategorized";
  }
}

// strerror_r comes in two flavours; take the text from either.
[[maybe_unused]] const char* error_text(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* error_text(const char* result, const char*) { return result; }

}  // namespace

std::string os_error_debug(int code) {
  char buffer[256];
  buffer[0] = '\0';
  const char* text = error_text(strerror_r(code, buffer, sizeof buffer), buffer);
  std::string m = "Os { code: ";
  m += std::to_string(code);
  m += ", kind: ";
  m += error_kind_name(code);
  m += ", message: ";
  append_quoted(m, text);
  m += " }";
  return m;
}

namespace {

struct FileCloser {
  int fd;
  ~FileCloser() { ::close(fd); }
};

}  // namespace

FileText read_file_text(const std::string& path) {
  FileText file;
  // The system call would stop at the first NUL and open another file.
  if (path.find('\0') != std::string::npos) {
    file.problem = FileText::Problem::NulInPath;
    return file;
  }
  int fd;
  for (;;) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != EINTR) break;
    poll_interrupt();  // a FIFO without a writer blocks here until a signal
  }
  if (fd < 0) {
    file.problem = FileText::Problem::Os;
    file.os_error = errno;
    return file;
  }
  FileCloser closer{fd};

  std::size_t size = 0;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) size = static_cast<std::size_t>(st.st_size);
  // One byte beyond the reported size, so that the end is seen in the same
  // buffer when the size was right. The room is not zero-filled: the reads
  // write every byte that is kept.
  std::size_t capacity = size + 1;
  std::unique_ptr<char[]> data = std::make_unique_for_overwrite<char[]>(capacity);
  std::size_t length = 0;
  for (;;) {
    if (length == capacity) {  // the file is longer than it said (or has no size)
      const std::size_t larger = capacity < 4096 ? 8192 : capacity * 2;
      std::unique_ptr<char[]> grown = std::make_unique_for_overwrite<char[]>(larger);
      std::memcpy(grown.get(), data.get(), length);
      data = std::move(grown);
      capacity = larger;
    }
    const ssize_t got = ::read(fd, data.get() + length, capacity - length);
    if (got < 0) {
      if (errno == EINTR) {
        poll_interrupt();
        continue;
      }
      file.problem = FileText::Problem::Os;
      file.os_error = errno;
      return file;
    }
    if (got == 0) break;
    length += static_cast<std::size_t>(got);
  }
  if (!valid_utf8(std::string_view(data.get(), length))) {
    file.problem = FileText::Problem::NotUtf8;
    return file;
  }
  file.text.data_ = std::move(data);
  file.text.size_ = length;
  return file;
}


// ---------------------------------------------------------------------------
// UTF-8.

bool valid_utf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, s + i, 8);
      if (w & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    const unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;       // no overlong forms
      else if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;       // no overlong forms
      else if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k)
      if ((s[i + k] & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

}  // namespace quarvel
