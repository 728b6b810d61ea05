#include "runtime/log_sink.hpp"

#include <cerrno>
#include <unistd.h>

namespace quorbel {

void StdoutLogSink::writeLine(std::string_view line) {
  while (!line.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, line.data(), line.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    // A closed or broken standard output must not stop the refresh cycle.
    if (written <= 0) {
      return;
    }
    line.remove_prefix(std::size_t(written));
  }
}

LogSink &stdoutLogSink() {
  static StdoutLogSink sink;
  return sink;
}

} // namespace quorbel
