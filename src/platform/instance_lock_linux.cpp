#include "platform/instance_lock_linux.hpp"

#include "platform/atomic_file.hpp"
#include "platform/errno_text.hpp"
#include "platform/fd_io.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorbel {
namespace {

constexpr mode_t kLockFileMode = 0600;
constexpr std::size_t kMaxPidText = 32;

// The pid the holder wrote, when the file holds one: it may not have written it yet.
std::optional<pid_t> holderPid(int fd) {
  const BoundedRead read = readBounded(fd, kMaxPidText);
  if (read.error != 0 || read.tooLarge) {
    return std::nullopt;
  }
  pid_t pid = 0;
  const char *begin = read.content.data();
  const char *end = begin + read.content.size();
  const auto [at, error] = std::from_chars(begin, end, pid);
  if (error != std::errc() || pid <= 0 || (at != end && *at != '\n')) {
    return std::nullopt;
  }
  return pid;
}

// Room for the refused: each one connects once to learn the holder's pid and leaves.
constexpr int kSocketBacklog = 16;

sockaddr_un abstractAddress(const std::string &name, socklen_t &length) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // A leading NUL puts the name in the abstract namespace: no file, nothing to delete.
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return address;
}

// The process listening on the abstract socket `name`, when it answers.
std::optional<pid_t> socketHolderPid(const std::string &name) {
  const UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  socklen_t length = 0;
  const sockaddr_un address = abstractAddress(name, length);
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (!probe.valid() ||
      ::connect(probe.get(), reinterpret_cast<const sockaddr *>(&address), length) != 0 ||
      ::getsockopt(probe.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      credentials.pid <= 0) {
    return std::nullopt;
  }
  return credentials.pid;
}

// Binds and listens on the abstract socket for `file`: the socket, or Held, or Failed.
std::variant<UniqueFd, InstanceLock::Held, InstanceLock::Failed>
holdSocket(const std::filesystem::path &file) {
  const std::string name = InstanceLock::socketName(file);
  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  socklen_t length = 0;
  const sockaddr_un address = abstractAddress(name, length);
  if (!socket.valid()) {
    return InstanceLock::Failed{
        failureText("cannot make the lock's socket for " + file.string(), errno)};
  }
  if (::bind(socket.get(), reinterpret_cast<const sockaddr *>(&address), length) != 0) {
    if (errno == EADDRINUSE) {
      return InstanceLock::Held{socketHolderPid(name)};
    }
    return InstanceLock::Failed{failureText("cannot lock " + file.string(), errno)};
  }
  ::listen(socket.get(), kSocketBacklog);
  return socket;
}

// Opens, locks and names this process in `file`: its descriptor, or Held, or Failed.
std::variant<UniqueFd, InstanceLock::Held, InstanceLock::Failed>
lockFile(const std::filesystem::path &file) {
  try {
    createPrivateDirectories(file.parent_path(), file);
  } catch (const FileWriteError &error) {
    return InstanceLock::Failed{error.what()};
  }
  // No O_TRUNC: a refused process must not wipe the holder's pid.
  UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kLockFileMode));
  if (!fd.valid()) {
    return InstanceLock::Failed{failureText("cannot open the lock " + file.string(), errno)};
  }
  int locked = 0;
  while ((locked = ::flock(fd.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (locked != 0) {
    if (errno == EWOULDBLOCK) {
      return InstanceLock::Held{holderPid(fd.get())};
    }
    return InstanceLock::Failed{failureText("cannot lock " + file.string(), errno)};
  }
  // Ours now: private whatever the umask when it was made, and naming its holder.
  ::fchmod(fd.get(), kLockFileMode);
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd.get(), 0) != 0 || ::pwrite(fd.get(), pid.data(), pid.size(), 0) < 0) {
    return InstanceLock::Failed{failureText("cannot write the lock " + file.string(), errno)};
  }
  return fd;
}

} // namespace

std::string InstanceLock::socketName(const std::filesystem::path &file) {
  // The folder as it resolves now, so that two spellings of one path take one lock; a folder
  // deleted later still gives the same name, since the name is all that is kept.
  std::error_code error;
  std::filesystem::path key =
      std::filesystem::weakly_canonical(std::filesystem::absolute(file), error);
  if (error) {
    key = file;
  }
  // FNV-1a: stable across builds and versions, which std::hash is not, and short enough for
  // sun_path whatever the path's length.
  std::uint64_t hash = 14695981039346656037ULL;
  for (const unsigned char byte : key.string()) {
    hash = (hash ^ byte) * 1099511628211ULL;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return "QuorbelHelper-lock-" + std::to_string(::getuid()) + "-" + hex;
}

InstanceLock::Outcome InstanceLock::acquire(const std::filesystem::path &file) {
  auto held = holdSocket(file);
  if (auto *refused = std::get_if<Held>(&held)) {
    return *refused;
  }
  if (auto *failed = std::get_if<Failed>(&held)) {
    return *failed;
  }
  UniqueFd socket = std::move(std::get<UniqueFd>(held));
  auto locked = lockFile(file);
  if (auto *fd = std::get_if<UniqueFd>(&locked)) {
    return InstanceLock(file, std::move(socket), std::move(*fd));
  }
  if (auto *refused = std::get_if<Held>(&locked)) {
    return *refused;
  }
  return std::get<Failed>(locked);
}

void InstanceLock::restoreFile() noexcept {
  struct stat held {};
  struct stat atPath {};
  if (::fstat(fd_.get(), &held) == 0 && ::stat(file_.c_str(), &atPath) == 0 &&
      held.st_dev == atPath.st_dev && held.st_ino == atPath.st_ino) {
    return;
  }
  auto locked = lockFile(file_);
  if (auto *fd = std::get_if<UniqueFd>(&locked)) {
    fd_ = std::move(*fd);
  }
}

} // namespace quorbel
