#include "platform/poll_wait.hpp"

#include <cerrno>

namespace quorbel {

int pollRetrying(pollfd *fds, std::size_t count, int timeoutMilliseconds) {
  for (;;) {
    const int ready = ::poll(fds, nfds_t(count), timeoutMilliseconds);
    if (ready >= 0 || errno != EINTR) {
      return ready;
    }
  }
}

} // namespace quorbel
