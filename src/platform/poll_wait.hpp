#pragma once

#include <poll.h>

#include <cstddef>

namespace quorbel {

// poll() that a signal handler cannot cut short: EINTR waits again, with the same time-out (every
// caller works out its own deadline afresh after a wake-up). Returns poll()'s result; -1 with errno
// set on any other failure.
int pollRetrying(pollfd *fds, std::size_t count, int timeoutMilliseconds = -1);

} // namespace quorbel
