#pragma once

#include <string_view>

namespace quorbel {

// Where the refresh cycle's lines go. Each call receives one whole line, newline included, and
// must emit it in one piece so lines from different writers never interleave.
class LogSink {
public:
  virtual ~LogSink() = default;
  virtual void writeLine(std::string_view line) = 0;
};

// A file descriptor, one write(2) per line: nothing waits in a buffer under a service manager.
class FdLogSink final : public LogSink {
public:
  explicit FdLogSink(int fd) : fd_(fd) {}
  void writeLine(std::string_view line) override;

private:
  int fd_;
};

LogSink &stdoutLogSink();
LogSink &stderrLogSink();

} // namespace quorbel
