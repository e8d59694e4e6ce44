// MD5 (RFC 1321) through OpenSSL's libcrypto. Thread-safe.
#pragma once

#include <string>
#include <string_view>

class OrvMD5 {
 public:
  OrvMD5() = delete;
  // The digest of `bytes` as 32 lower-case hexadecimal digits.
  static std::string hex(std::string_view bytes);
  // The digest of the text up to its first NUL byte, as C strings are hashed.
  static std::string hexOfText(const std::string& text) {
    return hex(std::string_view(text.c_str()));
  }
};
