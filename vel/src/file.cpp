#include "vel/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vel/stop.hpp"
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
    case EPERM: case EACCES: return "PermissionDenied";
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
    case ENOSYS: case EOPNOTSUPP: return "Unsupported";
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

// Whether a call that failed with EINTR is to be made again.
bool retry_after(InterruptCheck interrupted) {
  if (errno != EINTR) return false;
  if (interrupted != nullptr && interrupted()) throw Interrupted{};
  return true;
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

std::optional<ReadError> read_text_file(std::string_view path, std::string& text,
                                        InterruptCheck interrupted) {
  text.clear();
  // The path goes to the system as a C string, which a NUL would cut short.
  if (path.find('\0') != std::string_view::npos) return ReadError{ReadError::Kind::InvalidInput};
  std::string c_path(path);
  int fd;
  do fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && retry_after(interrupted));
  if (fd < 0) return ReadError{ReadError::Kind::Os, errno};
  FdOwner owner{fd};

  // One byte beyond the size the file claims, so that the read reporting its end needs no
  // further growth; files that claim no size (pipes, /proc) start from a page.
  std::size_t want = 4096;
  struct stat info;
  if (::fstat(fd, &info) == 0 && info.st_size > 0)
    want = static_cast<std::size_t>(info.st_size) + 1;
  text.resize(want);
  std::size_t length = 0;
  for (;;) {
    if (length == text.size()) text.resize(text.size() * 2);
    ssize_t got = ::read(fd, text.data() + length, text.size() - length);
    if (got < 0) {
      if (retry_after(interrupted)) continue;
      int code = errno;
      text.clear();
      return ReadError{ReadError::Kind::Os, code};
    }
    if (got == 0) break;
    length += static_cast<std::size_t>(got);
  }
  text.resize(length);
  if (!unicode::is_valid_utf8(text)) {
    text.clear();
    return ReadError{ReadError::Kind::InvalidData};
  }
  return std::nullopt;
}

}  // namespace vel
