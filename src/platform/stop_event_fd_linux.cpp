#include "platform/stop_event_fd_linux.hpp"

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace quorbel {

void StopEventFd::Notify::operator()() const noexcept {
  const std::uint64_t one = 1;
  // Can only fail when the counter is full, and then the fd is readable anyway.
  [[maybe_unused]] const ssize_t ignored = ::write(fd, &one, sizeof one);
}

StopEventFd::StopEventFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!fd_.valid()) {
    throw std::system_error(errno, std::generic_category(), "eventfd");
  }
}

std::stop_callback<StopEventFd::Notify> StopEventFd::notifyOn(std::stop_token stop) const {
  return std::stop_callback<Notify>(std::move(stop), Notify{fd_.get()});
}

void StopEventFd::clear() const {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t ignored = ::read(fd_.get(), &count, sizeof count);
}

} // namespace quorbel
