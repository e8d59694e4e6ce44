// MD5 (RFC 1321) through OpenSSL's libcrypto, for record keys and cache file names (not
// for security). Thread-safe.
#pragma once

#include <string>
#include <string_view>

class OrvMD5 {
 public:
  OrvMD5() = delete;
  // The digest of every byte of `bytes` as 32 lower-case hexadecimal digits; "" when
  // OpenSSL cannot provide MD5.
  static std::string hex(std::string_view bytes);
};
