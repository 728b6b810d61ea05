#include "platform/atomic_file.hpp"

#include "platform/errno_text.hpp"
#include "platform/fd_io.hpp"
#include "platform/stop_signals_linux.hpp"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace quorbel {
namespace {

constexpr int kCreateAttempts = 16;
constexpr mode_t kPrivateDirectoryMode = 0700;
// As the kernel bounds a path's links (MAXSYMLINKS).
constexpr int kMaxLinksFollowed = 40;

std::string randomSuffix() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  static constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
  std::string suffix;
  for (int i = 0; i < 10; ++i) {
    suffix += kAlphabet[pick(generator)];
  }
  return suffix;
}

int closeDescriptor(int fd) {
  // close() must not be retried on EINTR on Linux: the descriptor is gone either way.
  const int result = ::close(fd);
  return result == 0 || errno == EINTR ? 0 : errno;
}

// What a file that is not a regular one is, for the message that refuses it.
const char *fileKind(mode_t mode) {
  if (S_ISFIFO(mode)) {
    return "a FIFO";
  }
  if (S_ISCHR(mode) || S_ISBLK(mode)) {
    return "a device";
  }
  if (S_ISDIR(mode)) {
    return "a directory";
  }
  if (S_ISSOCK(mode)) {
    return "a socket";
  }
  return "not a regular file";
}

} // namespace

std::string AtomicFile::temporaryPrefix(const std::filesystem::path &target) {
  // Appended in order rather than `"." + name`: GCC 12 at -O3 takes that insertion at the front
  // for an overlapping copy and reports a false -Wrestrict.
  std::string prefix(".");
  prefix += target.filename().string();
  prefix += ".tmp-";
  return prefix;
}

void AtomicFile::removeStaleTemporaries(const std::filesystem::path &target) noexcept {
  const std::string prefix = temporaryPrefix(target);
  const auto staleBefore = std::filesystem::file_time_type::clock::now() - kStaleTemporaryAge;
  std::error_code error;
  std::filesystem::directory_iterator entries(
      target.parent_path().empty() ? "." : target.parent_path(), error);
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    if (!entries->path().filename().string().starts_with(prefix)) {
      continue;
    }
    std::error_code statError;
    const auto modified = entries->last_write_time(statError);
    if (!statError && modified < staleBefore) {
      std::filesystem::remove(entries->path(), statError);
    }
  }
}

AtomicFile::AtomicFile(std::filesystem::path target, unsigned mode, MissingFolders missing)
    : target_(std::move(target)) {
  const auto directory = target_.parent_path();
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    temporary_ =
        directory / (temporaryPrefix(target_) + std::to_string(::getpid()) + "-" + randomSuffix());
    fd_.reset(
        ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode));
    if (fd_.valid()) {
      // The umask may have taken bits away; an odd one (0277) must not leave a file we cannot
      // replace next time.
      if (::fchmod(fd_.get(), static_cast<mode_t>(mode)) != 0) {
        fail("cannot set the mode of the temporary file", errno);
      }
      return;
    }
    // Folders are made only when the file cannot be created without them: every write but the
    // first finds its folder, and making it again would cost a system call for each level.
    if (errno == ENOENT && missing == MissingFolders::make) {
      missing = MissingFolders::refuse;
      createPrivateDirectories(directory, target_);
      continue;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  const int error = errno;
  temporary_.clear();
  fail("cannot create temporary file", error);
}

AtomicFile::~AtomicFile() {
  if (!committed_) {
    discard();
  }
}

void AtomicFile::write(std::string_view bytes) {
  if (const int error = writeAll(fd_.get(), bytes); error != 0) {
    fail("write failed", error);
  }
}

void AtomicFile::commit() {
  // The data must be on disk before the rename makes it visible, or a power cut could publish an
  // empty file under the real name.
  if (::fsync(fd_.get()) != 0) {
    fail("fsync failed", errno);
  }
  const int closeError = closeDescriptor(fd_.release());
  if (closeError != 0) {
    fail("close failed", closeError);
  }
  // Rename is atomic within one file system, so readers see the old file or the new one.
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
    fail("rename failed", errno);
  }
  committed_ = true;
  // The rename lives in the folder: until the folder is on disk a power cut can bring back the
  // previous file, and with it a notification already shown. The file is in place whatever this
  // says, so a failure here is not the write's.
  const std::filesystem::path parent = target_.parent_path();
  const UniqueFd folder(
      ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) {
    ::fsync(folder.get());
  }
}

void AtomicFile::discard() noexcept {
  fd_.reset();
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
  }
}

void AtomicFile::fail(const char *step, int error) {
  discard();
  throw FileWriteError("cannot write " + target_.string() + ": " + failureText(step, error));
}

void createPrivateDirectories(const std::filesystem::path &directory,
                              const std::filesystem::path &forFile) {
  // Made one level at a time so that each directory we create, and only those, is private.
  std::filesystem::path partial;
  for (const auto &part : directory) {
    partial /= part;
    if (::mkdir(partial.c_str(), kPrivateDirectoryMode) == 0) {
      ::chmod(partial.c_str(), kPrivateDirectoryMode);
    } else if (errno != EEXIST) {
      throw FileWriteError("cannot create directory " + partial.string() + " for " +
                           forFile.string() + ": " + errnoText(errno));
    }
  }
}

void replaceFile(const std::filesystem::path &file, std::string_view bytes) {
  AtomicFile writer(file, kPrivateFileMode, AtomicFile::MissingFolders::make);
  writer.write(bytes);
  writer.commit();
}

std::filesystem::path sharedFileDestination(const std::filesystem::path &file) {
  // Judged by what the path leads to now: /dev/stdout leads to a terminal or a pipe.
  struct stat status {};
  if (::stat(file.c_str(), &status) == 0) {
    if (!S_ISREG(status.st_mode)) {
      throw FileWriteError("cannot write " + file.string() + ": it is " + fileKind(status.st_mode) +
                           ", not a regular file");
    }
  } else if (errno != ENOENT) {
    throw FileWriteError("cannot write " + file.string() + ": " + errnoText(errno));
  }
  // Renamed over, a link would become a file of its own and its target would stay as it was.
  std::filesystem::path destination = file;
  for (int followed = 0; followed < kMaxLinksFollowed; ++followed) {
    struct stat link {};
    if (::lstat(destination.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
      return destination;
    }
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(destination, error);
    if (error) {
      throw FileWriteError("cannot write " + file.string() + ": cannot read the link " +
                           destination.string() + ": " + error.message());
    }
    destination = target.is_absolute() ? target : destination.parent_path() / target;
  }
  throw FileWriteError("cannot write " + file.string() + ": " + errnoText(ELOOP));
}

void replaceSharedFile(const std::filesystem::path &file, std::string_view bytes) {
  const std::filesystem::path destination = sharedFileDestination(file);
  const StopSignalsHeld held;
  AtomicFile writer(destination, kReadableFileMode);
  writer.write(bytes);
  writer.commit();
}

} // namespace quorbel
