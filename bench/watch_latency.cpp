// Measures how soon `quorbel-status --watch` prints after the snapshot is replaced: the time from
// just before the rename(2) that publishes a new snapshot to the moment its line can be read from
// the watcher's standard output. The target is well under 100 ms.
//
// Usage: quorbel_watch_bench [renames]

#include "model/clock.hpp"
#include "model/snapshot_json.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace quorbel;
using SteadyClock = std::chrono::steady_clock;

namespace {

std::string snapshotText(std::int64_t percent) {
  const Instant now = quorbel::systemClock().now();
  return encodeSnapshot(PlanSnapshot{now, PlanWindow{percent, now + std::chrono::hours(2)},
                                     PlanWindow{14, now + std::chrono::hours(50)}, std::nullopt,
                                     std::nullopt, PlanStatus::active});
}

// Replaces `target` by rename, as the helper does, and returns the moment just before the rename.
SteadyClock::time_point publish(const fs::path &target, std::int64_t percent) {
  const fs::path temporary = target.parent_path() / ".bench.tmp";
  std::ofstream(temporary, std::ios::binary) << snapshotText(percent);
  const auto before = SteadyClock::now();
  fs::rename(temporary, target);
  return before;
}

bool readLine(int fd) {
  char c = 0;
  while (::read(fd, &c, 1) == 1) {
    if (c == '\n') {
      return true;
    }
  }
  return false;
}

} // namespace

int main(int argc, char **argv) {
  const int renames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  char pattern[] = "/tmp/quorbel-watch-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path directory = pattern;
  const fs::path file = directory / "plan-snapshot.json";
  publish(file, 0);

  int out[2];
  if (::pipe(out) != 0) {
    std::perror("pipe");
    return 1;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::execl(QUORBEL_STATUS_BINARY, "quorbel-status", "--watch", "--file", file.c_str(),
            static_cast<char *>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  if (!readLine(out[0])) {
    std::fprintf(stderr, "the watcher printed nothing\n");
    return 1;
  }
  std::vector<double> milliseconds;
  for (int i = 1; i <= renames; ++i) {
    const auto before = publish(file, i % 100 + 1);
    if (!readLine(out[0])) {
      std::fprintf(stderr, "the watcher stopped\n");
      return 1;
    }
    milliseconds.push_back(
        std::chrono::duration<double, std::milli>(SteadyClock::now() - before).count());
  }
  ::kill(child, SIGTERM);
  int status = 0;
  ::waitpid(child, &status, 0);
  fs::remove_all(directory);

  std::sort(milliseconds.begin(), milliseconds.end());
  const auto at = [&](double share) {
    return milliseconds[std::min(milliseconds.size() - 1,
                                 std::size_t(share * milliseconds.size()))];
  };
  std::printf("rename to line over %d renames: median %.3f ms, p99 %.3f ms, max %.3f ms\n", renames,
              at(0.5), at(0.99), milliseconds.back());
  std::printf("watcher exit status after SIGTERM: %d\n",
              WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return at(0.99) < 100.0 ? 0 : 1;
}
