#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace quorbel {

// The one home lookup of the process, shared by the credentials and the snapshot location so
// both always agree on where "home" is.
//
// $HOME when it is an absolute path, otherwise the password database's home for this user when
// that is absolute, otherwise nothing. A relative or empty HOME is not a home: files would land
// wherever the process happened to start.
std::optional<std::filesystem::path>
chooseHomeDirectory(std::optional<std::string_view> home,
                    std::optional<std::string_view> passwordDatabaseHome);

// chooseHomeDirectory() for this process; the password database is read only when HOME is not
// usable.
std::optional<std::filesystem::path> homeDirectory();

// True for a non-empty path that starts at the root.
bool isAbsolutePath(std::optional<std::string_view> path);

} // namespace quorbel
