#include "platform/OrvMD5.h"

#include <openssl/evp.h>

#include "platform/OrvProcessLifetime.h"

std::string OrvMD5::hex(std::string_view bytes) {
  OrvProcessLifetime::initialise();  // OpenSSL is set up on the library's terms
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1) {
    return std::string();
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0x0F];
  }
  return out;
}
