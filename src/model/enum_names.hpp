#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace quorbel {

// The one form of an enum <-> name table. Entries are listed in declaration order, which the
// constructor checks: declared constexpr, a table out of order or with a gap does not compile, so
// nameOf() can index it and never misname a value.
template <typename Enum, std::size_t N> class EnumNames {
public:
  using Entry = std::pair<Enum, std::string_view>;

  constexpr explicit EnumNames(std::array<Entry, N> entries) : entries_(entries) {
    for (std::size_t i = 0; i < N; ++i) {
      if (entries_[i].first != Enum(i)) {
        throw std::logic_error("enum names must be listed in declaration order");
      }
    }
  }

  constexpr std::string_view nameOf(Enum value) const {
    return entries_[static_cast<std::size_t>(value)].second;
  }

  // Exact, case-sensitive match; anything else is nothing.
  constexpr std::optional<Enum> named(std::string_view name) const {
    for (const auto &[value, candidate] : entries_) {
      if (candidate == name) {
        return value;
      }
    }
    return std::nullopt;
  }

private:
  std::array<Entry, N> entries_;
};

template <typename Enum, std::size_t N>
EnumNames(std::array<std::pair<Enum, std::string_view>, N>) -> EnumNames<Enum, N>;

} // namespace quorbel
