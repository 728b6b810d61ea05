#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>
#include <type_traits>

namespace quorbel::testing {

// A few seconds: far beyond what a passing wait takes, far below CTest's limit.
inline constexpr std::chrono::milliseconds kTestDeadline{5000};

// Polls `condition` until it holds or `limit` passes; returns whether it held.
inline bool eventually(const std::function<bool()> &condition,
                       std::chrono::milliseconds limit = kTestDeadline) {
  for (const auto end = std::chrono::steady_clock::now() + limit;
       std::chrono::steady_clock::now() < end;) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

// Runs `work` on a thread of its own and returns its result. A fault that makes it hang cannot be
// cancelled from outside, so the test process ends at once, naming the wait, rather than at
// CTest's limit.
template <typename Work>
auto finishesWithin(const char *what, Work &&work, std::chrono::milliseconds limit = kTestDeadline)
    -> std::invoke_result_t<Work> {
  // On a hang the process ends before this future could wait for the work in its destructor.
  auto result = std::async(std::launch::async, std::forward<Work>(work));
  if (result.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "FAILED: %s did not end within %lld ms\n", what,
                 static_cast<long long>(limit.count()));
    std::fflush(nullptr);
    std::_Exit(1);
  }
  return result.get();
}

} // namespace quorbel::testing
