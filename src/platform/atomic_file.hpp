#pragma once

#include "platform/unique_fd.hpp"

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorbel {

// Raised when a file cannot be written; the message names the file and the cause.
class FileWriteError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// What we keep describes the user's account: only the user reads it.
inline constexpr unsigned kPrivateFileMode = 0600;
// For a file another user's program must read, such as node_exporter's textfile collector.
inline constexpr unsigned kReadableFileMode = 0644;

// Replaces one file as a whole: bytes go to a uniquely named temporary file beside the target,
// which is fsynced and renamed over it on commit(). Without a commit the temporary file is removed.
// The file gets `mode` whatever the umask. Errors throw FileWriteError naming the target and the
// cause.
class AtomicFile {
public:
  // Whether the folders missing on the way to the target are made (0700, whatever the umask).
  enum class MissingFolders { refuse, make };

  explicit AtomicFile(std::filesystem::path target, unsigned mode = kPrivateFileMode,
                      MissingFolders missing = MissingFolders::refuse);
  ~AtomicFile();
  AtomicFile(const AtomicFile &) = delete;
  AtomicFile &operator=(const AtomicFile &) = delete;

  void write(std::string_view bytes);
  void commit();

  // A writer renames its temporary file within milliseconds; one this old was left by a writer
  // killed between creating and renaming it.
  static constexpr std::chrono::minutes kStaleTemporaryAge{5};

  // Temporary names are this prefix, the writer's process id, "-" and a random suffix, so that
  // leftovers can be recognised and a person can tell whose they were. Such a name never ends in
  // the target's extension, so a collector that reads every "*.prom" never reads a half file.
  static std::string temporaryPrefix(const std::filesystem::path &target);

  // Removes temporary files beside `target` last modified more than kStaleTemporaryAge ago. Age
  // rather than a process id decides: a pid from another pid namespace or another host sharing
  // the home would be misjudged. Meant for start-up. Best effort: errors are ignored.
  static void removeStaleTemporaries(const std::filesystem::path &target) noexcept;

private:
  [[noreturn]] void fail(const char *step, int error);
  void discard() noexcept;

  std::filesystem::path target_;
  std::filesystem::path temporary_;
  UniqueFd fd_;
  bool committed_ = false;
};

// Creates the missing directories of `directory` (0700, whatever the umask); the error names
// `forFile`, what they are made for. Throws FileWriteError.
void createPrivateDirectories(const std::filesystem::path &directory,
                              const std::filesystem::path &forFile);

// Creates the missing directories on the way to `file` (0700, whatever the umask), then replaces
// `file` with `bytes` through AtomicFile. Throws FileWriteError.
void replaceFile(const std::filesystem::path &file, std::string_view bytes);

// Where a shared file named `file` is replaced: `file`, or the file its symbolic links lead to,
// whose folder gets the temporary, so that the link stays and its target changes whole. Throws
// FileWriteError, before anything is written, when what stands there is not a regular file (a
// FIFO, a device, a directory, a socket) or the links cannot be followed.
std::filesystem::path sharedFileDestination(const std::filesystem::path &file);

// Replaces `file`'s destination (above), in a folder that must exist, with `bytes` that every user
// may read: what a reader writes with --output is for other programs (a collector runs as its own
// user). No folder is made, since one made private here would hide the file from them. SIGTERM
// and SIGINT are held back meanwhile, so a stop never leaves the temporary behind. Throws
// FileWriteError.
void replaceSharedFile(const std::filesystem::path &file, std::string_view bytes);

} // namespace quorbel
