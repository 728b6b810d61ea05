#pragma once

#include <fstream>
#include <unistd.h>

namespace quorbel::testing {

// This process's resident size now, from the kernel's own accounting.
inline long residentKiB() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

} // namespace quorbel::testing
