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

// Standard output, one write(2) per line: nothing waits in a buffer under a service manager.
class StdoutLogSink final : public LogSink {
public:
  void writeLine(std::string_view line) override;
};

LogSink &stdoutLogSink();

} // namespace quorbel
