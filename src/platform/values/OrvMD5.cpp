#include "platform/values/OrvMD5.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include "platform/execution/OrvProcessLifetime.h"

namespace {

// MD5 from a library context of our own with OpenSSL's default provider loaded into it:
// an application (or system) configuration that loads only the base or FIPS provider
// into the default context does not take MD5 away from this non-security use. Fetched
// once and kept for the process; null when OpenSSL cannot provide it at all.
const EVP_MD* md5() {
  // OpenSSL on our terms first. Outside the static's initialiser: initialise() itself
  // fetches the digest, so that it is built before the exit handler.
  OrvProcessLifetime::initialise();
  static const EVP_MD* md = []() -> const EVP_MD* {
    OSSL_LIB_CTX* context = OSSL_LIB_CTX_new();
    if (!context || !OSSL_PROVIDER_load(context, "default"))
      return EVP_MD_fetch(nullptr, "MD5", nullptr);
    return EVP_MD_fetch(context, "MD5", nullptr);
  }();
  return md;
}

}  // namespace

std::string OrvMD5::hex(std::string_view bytes) {
  const EVP_MD* md = md5();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!md || EVP_Digest(bytes.data(), bytes.size(), digest, &length, md, nullptr) != 1) {
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
