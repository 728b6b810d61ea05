#pragma once

#include "support/temp_dir.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>

namespace quorbel::testing {

// A network namespace of its own, with only a loopback interface, and a private /etc/hosts that
// sends one host name there: the built helper, whose endpoint is fixed, then reaches a listener
// the test holds, and nothing leaves the machine. Needs root (CAP_SYS_ADMIN); available() says
// whether the machine allowed it.
class LoopbackNamespace {
public:
  LoopbackNamespace(const std::string &hostName, int port) {
    writeFile(hosts_ / "hosts", "127.0.0.1 localhost\n127.0.0.1 " + hostName + "\n");
    hostsFile_ = (hosts_ / "hosts").string();
    // Namespaces belong to threads: a short-lived one makes it, leaving this process where it was.
    std::thread([&] {
      if (::unshare(CLONE_NEWNET) != 0 || !loopbackUp()) {
        return;
      }
      namespace_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
      listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(std::uint16_t(port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (listener_ >= 0 &&
          (::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
           ::listen(listener_, 8) != 0)) {
        ::close(listener_);
        listener_ = -1;
      }
    }).join();
    if (namespace_ >= 0 && listener_ >= 0) {
      // Mounting is refused in some containers even to root; find out before a test relies on it.
      const pid_t probe = ::fork();
      if (probe == 0) {
        ::_exit(enter() ? 0 : 1);
      }
      int status = 0;
      available_ = probe > 0 && ::waitpid(probe, &status, 0) == probe && WIFEXITED(status) &&
                   WEXITSTATUS(status) == 0;
    }
  }
  ~LoopbackNamespace() {
    if (namespace_ >= 0) {
      ::close(namespace_);
    }
    if (listener_ >= 0) {
      ::close(listener_);
    }
  }
  LoopbackNamespace(const LoopbackNamespace &) = delete;
  LoopbackNamespace &operator=(const LoopbackNamespace &) = delete;

  bool available() const { return available_; }

  // The listening socket inside the namespace; the caller owns it from now on.
  int takeListener() { return std::exchange(listener_, -1); }

  // For a freshly forked child: joins the namespace and mounts the hosts file over /etc/hosts in
  // a mount namespace of its own. System calls only, so it is safe between fork and exec.
  bool enter() const {
    return ::setns(namespace_, CLONE_NEWNET) == 0 && ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(hostsFile_.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
  }

private:
  static bool loopbackUp() {
    const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = control >= 0 && ::ioctl(control, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ::ioctl(control, SIOCSIFFLAGS, &request) == 0);
    if (control >= 0) {
      ::close(control);
    }
    return up;
  }

  ScopedTempDir hosts_;
  std::string hostsFile_;
  int namespace_ = -1;
  int listener_ = -1;
  bool available_ = false;
};

} // namespace quorbel::testing
