#include "platform/small_file.hpp"

#include "platform/errno_text.hpp"
#include "platform/fd_io.hpp"

#include <cerrno>
#include <sys/stat.h>

namespace quorbel {

std::string SmallFile::reason() const {
  switch (outcome) {
  case Outcome::read:
    return {};
  case Outcome::missing:
    return errnoText(ENOENT);
  case Outcome::notRegular:
    return directory ? errnoText(EISDIR) : "not a regular file";
  case Outcome::tooLarge:
    return "too large";
  case Outcome::failed:
    break;
  }
  return errnoText(error);
}

SmallFile readSmallFile(const std::filesystem::path &path, std::size_t limit) {
  SmallFile result;
  const UniqueFd file = openForReading(path);
  if (!file.valid()) {
    const int error = errno;
    result.outcome = error == ENOENT || error == ENOTDIR ? SmallFile::Outcome::missing
                                                         : SmallFile::Outcome::failed;
    result.error = error;
    return result;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    result.outcome = SmallFile::Outcome::failed;
    result.error = errno;
    return result;
  }
  if (!S_ISREG(info.st_mode)) {
    result.outcome = SmallFile::Outcome::notRegular;
    result.directory = S_ISDIR(info.st_mode);
    return result;
  }
  if (std::uintmax_t(info.st_size) > limit) {
    result.outcome = SmallFile::Outcome::tooLarge;
    return result;
  }
  BoundedRead read = readBounded(file.get(), limit);
  if (read.error != 0) {
    result.outcome = SmallFile::Outcome::failed;
    result.error = read.error;
  } else if (read.tooLarge) {
    result.outcome = SmallFile::Outcome::tooLarge;
  } else {
    result.outcome = SmallFile::Outcome::read;
    result.content = std::move(read.content);
  }
  return result;
}

} // namespace quorbel
