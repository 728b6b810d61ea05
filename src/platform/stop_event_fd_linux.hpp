#pragma once

#include "platform/unique_fd.hpp"

#include <stop_token>

namespace quorbel {

// An eventfd that becomes readable once a stop is requested, so that one poll() can wait for a
// stop alongside a pipe, a timer or a file watch.
class StopEventFd {
public:
  // What the stop callback runs: one write to the eventfd, which is safe from any thread.
  struct Notify {
    int fd;
    void operator()() const noexcept;
  };

  // Throws std::system_error when no eventfd can be made.
  StopEventFd();

  int fd() const { return fd_.get(); }

  // Makes fd() readable once `stop` is requested (at once if it already is), for as long as the
  // returned callback lives.
  [[nodiscard]] std::stop_callback<Notify> notifyOn(std::stop_token stop) const;

  // Makes fd() unreadable again, so the object can serve the next wait.
  void clear() const;

private:
  UniqueFd fd_;
};

} // namespace quorbel
