#pragma once

#include "support/temp_dir.hpp"

#include <cstdlib>
#include <string>
#include <sys/wait.h>

namespace quorbel::testing {

struct CommandResult {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

// Runs a shell command line with its output captured in files of `scratch`.
inline CommandResult runCommand(const std::string &commandLine, const ScopedTempDir &scratch) {
  const auto out = scratch / "command.out";
  const auto err = scratch / "command.err";
  const int status =
      std::system((commandLine + " >'" + out.string() + "' 2>'" + err.string() + "'").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
}

} // namespace quorbel::testing
