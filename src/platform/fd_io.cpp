#include "platform/fd_io.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace quorbel {
namespace {

// Real files here are tiny: a chunk on the stack beats sizing a buffer to the limit.
constexpr std::size_t kReadChunkBytes = 16 * 1024;

} // namespace

int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0) {
      return errno;
    }
    if (written == 0) {
      return EIO;
    }
    bytes.remove_prefix(std::size_t(written));
  }
  return 0;
}

UniqueFd openForReading(const std::filesystem::path &path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
}

namespace {

// Reads one chunk into `result`; true once the read is over: at the end, on an error, or past
// `limit`. EINTR reads again; EAGAIN does too where the caller has polled first (`polled`), and is
// an error where it has not, so a non-blocking read of an empty pipe cannot spin.
bool readChunk(int fd, std::size_t limit, bool polled, BoundedRead &result) {
  char chunk[kReadChunkBytes];
  const ssize_t count = ::read(fd, chunk, sizeof chunk);
  if (count < 0) {
    if (errno == EINTR || (polled && errno == EAGAIN)) {
      return false;
    }
    result.error = errno;
    return true;
  }
  if (count == 0) {
    return true;
  }
  result.content.append(chunk, std::size_t(count));
  result.tooLarge = result.content.size() > limit;
  return result.tooLarge;
}

} // namespace

BoundedRead readBounded(int fd, std::size_t limit) {
  BoundedRead result;
  while (!readChunk(fd, limit, false, result)) {
  }
  return result;
}

BoundedRead readBoundedWithin(int fd, std::size_t limit, std::chrono::milliseconds within) {
  using Steady = std::chrono::steady_clock;
  const Steady::time_point deadline = Steady::now() + within;
  BoundedRead result;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now());
    pollfd ready{fd, POLLIN, 0};
    const int polled = left.count() > 0 ? ::poll(&ready, 1, int(left.count())) : 0;
    if (polled < 0 && errno == EINTR) {
      continue;
    }
    if (polled < 0) {
      result.error = errno;
      return result;
    }
    if (polled == 0) {
      result.timedOut = true;
      return result;
    }
    // POLLHUP with nothing left to read ends the input as a read of 0 does.
    if (readChunk(fd, limit, true, result)) {
      return result;
    }
  }
}

} // namespace quorbel
