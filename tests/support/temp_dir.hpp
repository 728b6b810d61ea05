#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>

namespace quorbel::testing {

// A fresh directory per test, removed with everything in it afterwards.
class ScopedTempDir {
public:
  // `base` defaults to the system's temporary directory.
  explicit ScopedTempDir(
      const std::filesystem::path &base = std::filesystem::temp_directory_path()) {
    std::string pattern = (base / "quorbel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
  }
  ~ScopedTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScopedTempDir(const ScopedTempDir &) = delete;
  ScopedTempDir &operator=(const ScopedTempDir &) = delete;

  const std::filesystem::path &path() const { return path_; }
  std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

private:
  std::filesystem::path path_;
};

// Makes the missing directories above `path` first.
inline void writeFile(const std::filesystem::path &path, const std::string &content) {
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string readFile(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The names in `directory`, hidden ones included.
inline std::set<std::string> entriesOf(const std::filesystem::path &directory) {
  std::set<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(directory)) {
    names.insert(entry.path().filename());
  }
  return names;
}

} // namespace quorbel::testing
