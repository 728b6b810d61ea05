#include "runtime/log_sink.hpp"

#include <cerrno>
#include <unistd.h>

namespace quorbel {

void FdLogSink::writeLine(std::string_view line) {
  while (!line.empty()) {
    const ssize_t written = ::write(fd_, line.data(), line.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    // A closed or broken output must not stop the refresh cycle.
    if (written <= 0) {
      return;
    }
    line.remove_prefix(std::size_t(written));
  }
}

LogSink &stdoutLogSink() {
  static FdLogSink sink(STDOUT_FILENO);
  return sink;
}

LogSink &stderrLogSink() {
  static FdLogSink sink(STDERR_FILENO);
  return sink;
}

} // namespace quorbel
