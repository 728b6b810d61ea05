#include "runtime/log_sink.hpp"

#include "platform/fd_io.hpp"

#include <unistd.h>

namespace quorbel {

void FdLogSink::writeLine(std::string_view line) {
  // A closed or broken output must not stop the refresh cycle.
  [[maybe_unused]] const int ignored = writeAll(fd_, line);
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
