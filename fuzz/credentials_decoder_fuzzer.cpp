// The credentials file belongs to another program and may hold anything.
#include "source/credentials.hpp"

using namespace quorbel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  try {
    (void)decodeCredentials(std::string_view(reinterpret_cast<const char *>(data), size));
  } catch (const CredentialsError &) {
  }
  return 0;
}
