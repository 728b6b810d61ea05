#pragma once

namespace quorbel {

// quorbel-status's exit statuses, which scripts rely on; the manual page lists them.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoSnapshot = 3;
inline constexpr int kExitUnreadable = 4;
inline constexpr int kExitCannotWrite = 5;

} // namespace quorbel
