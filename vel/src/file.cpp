#include "vel/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "vel/interrupt.hpp"
#include "vel/text.hpp"
#include "vel/unicode.hpp"

namespace vel {

namespace {

constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";
constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";

// The kind words of the operating system's error numbers, as the Rust standard library
// names them on Linux; every number not listed is Uncategorized.
std::string_view os_error_kind(int code) {
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
    case ENOSYS:
    case EOPNOTSUPP: return "Unsupported";
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
    case EINPROGRESS: return "InProgress";
    case ESTALE: return "StaleNetworkFileHandle";
    case EDQUOT: return "QuotaExceeded";
    default: return "Uncategorized";
  }
}

// strerror_r comes in a GNU form returning the text and an XSI form filling the buffer;
// these pick the text from whichever the C library declares.
[[maybe_unused]] const char* strerror_text(const char* returned, const char*) { return returned; }
[[maybe_unused]] const char* strerror_text(int, const char* buffer) { return buffer; }

std::string os_message(int code) {
  char buffer[256] = {};
  return strerror_text(strerror_r(code, buffer, sizeof buffer), buffer);
}

std::string_view read_error_message(const ReadError& error) {
  return error.kind == ReadError::Kind::InvalidData ? kInvalidUtf8 : kNulInPath;
}

struct FdOwner {
  int fd;
  ~FdOwner() { ::close(fd); }
};

// Whether a call that failed with EINTR is to be made again: a signal broke the wait, and
// unless the check ends the call, it waits on.
bool retry_after_signal() {
  if (errno != EINTR) return false;
  check_interrupt();
  return true;
}

// At most this much is read, or one buffer grows by, between two checks: a file that never
// ends (/dev/zero) is read until the check says so, and one text grown whole would copy
// all it holds at each doubling.
constexpr std::size_t kReadChunk = std::size_t{1} << 20;

// Reads `fd` to its end into chunks whose sizes add up to what it held, the first of
// `first` bytes at most and every later one of kReadChunk; the errno of a failed read.
std::optional<int> read_chunks(int fd, std::size_t first, std::vector<std::string>& chunks) {
  std::size_t used = 0;  // of chunks.back()
  for (;;) {
    if (chunks.empty() || used == chunks.back().size()) {
      chunks.emplace_back(chunks.empty() ? first : kReadChunk, '\0');
      used = 0;
    }
    std::string& chunk = chunks.back();
    ssize_t got = ::read(fd, chunk.data() + used, std::min(chunk.size() - used, kReadChunk));
    if (got < 0) {
      if (retry_after_signal()) continue;
      return errno;
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
    check_interrupt();
  }
  chunks.back().resize(used);
  return std::nullopt;
}

std::string joined(std::vector<std::string>& chunks) {
  if (chunks.size() == 1) return std::move(chunks.front());
  std::size_t length = 0;
  for (const std::string& chunk : chunks) length += chunk.size();
  std::string text;
  text.reserve(length);
  for (std::string& chunk : chunks) {
    text += chunk;
    std::string().swap(chunk);  // the whole never stands twice in memory
  }
  return text;
}

}  // namespace

std::string debug_read_error(const ReadError& error) {
  if (error.kind == ReadError::Kind::Os) {
    std::string out = "Os { code: " + std::to_string(error.code) + ", kind: ";
    out += os_error_kind(error.code);
    out += ", message: ";
    append_debug_str(out, os_message(error.code));
    out += " }";
    return out;
  }
  std::string out = "Error { kind: ";
  out += error.kind == ReadError::Kind::InvalidData ? "InvalidData" : "InvalidInput";
  out += ", message: ";
  append_debug_str(out, read_error_message(error));
  out += " }";
  return out;
}

std::string display_read_error(const ReadError& error) {
  if (error.kind == ReadError::Kind::Os)
    return os_message(error.code) + " (os error " + std::to_string(error.code) + ")";
  return std::string(read_error_message(error));
}

std::optional<ReadError> read_text_file(std::string_view path, std::string& text) {
  text.clear();
  // The path goes to the system as a C string, which a NUL would cut short.
  if (path.find('\0') != std::string_view::npos) return ReadError{ReadError::Kind::InvalidInput};
  std::string c_path(path);
  int fd;
  do fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && retry_after_signal());
  if (fd < 0) return ReadError{ReadError::Kind::Os, errno};
  FdOwner owner{fd};

  // One byte beyond the size the file claims, so that the read reporting its end needs no
  // further chunk; files that claim no size (pipes, /proc) start from a page.
  std::size_t first = 4096;
  struct stat info;
  const bool known = ::fstat(fd, &info) == 0;
  if (known && info.st_size > 0) first = static_cast<std::size_t>(info.st_size) + 1;
  std::vector<std::string> chunks;
  if (auto code = read_chunks(fd, first, chunks)) return ReadError{ReadError::Kind::Os, *code};
  text = joined(chunks);
  if (!unicode::is_valid_utf8(text)) {
    text.clear();
    return ReadError{ReadError::Kind::InvalidData};
  }
  return std::nullopt;
}

}  // namespace vel
