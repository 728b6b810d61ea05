#pragma once

#include "model/clock.hpp"
#include "runtime/log_sink.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace quorbel {

// The two temporary snapshot files of one self-check run.
struct DryTestFiles {
  std::filesystem::path main;
  std::filesystem::path cold;

  // "quorbel-drytest-<pid>.json" and "quorbel-drytest-cold-<pid>.json" directly in `directory`.
  static DryTestFiles in(const std::filesystem::path &directory, long processId);
};

// $TMPDIR when set and not empty, taken as given even when unusable, so a broken setting shows
// up as failed checks instead of quietly writing elsewhere; /tmp otherwise.
std::filesystem::path perUserTemporaryDirectory(const std::optional<std::string> &tmpdir);

// Runs every scenario against the real runtime and store on `files`, printing the report to
// `out`. Returns true when no check failed. Never throws on a failed check or file operation.
bool runDryTests(const DryTestFiles &files, LogSink &out = stdoutLogSink(),
                 const Clock &clock = systemClock());

// The run the executable performs: files in the per-user temporary directory, named after this
// process, report on standard output.
bool runDryTests();

} // namespace quorbel
