#pragma once

#include "support/temp_dir.hpp"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace quorbel::testing {

// A throwaway authority (ca.pem) and a server certificate it signed (server.pem, its key beside it
// as server.key, as LoopbackServer wants) for `subjectAltName`, such as "DNS:status.claude.com".
inline void makeServerCertificate(const std::filesystem::path &dir,
                                  const std::string &subjectAltName) {
  const std::string script =
      "cd '" + dir.string() +
      "' && n='openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
      "-subj /CN=test' && { $n -keyout ca.key -out ca.pem && $n -CA ca.pem -CAkey ca.key "
      "-addext subjectAltName=" +
      subjectAltName +
      " -addext basicConstraints=CA:FALSE -keyout server.key -out server.pem; } >pki.log 2>&1";
  if (std::system(script.c_str()) != 0) {
    throw std::runtime_error("openssl failed: " + readFile(dir / "pki.log"));
  }
}

} // namespace quorbel::testing
