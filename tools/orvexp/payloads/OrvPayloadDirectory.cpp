#include "payloads/OrvPayloadDirectory.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/files/OrvRegularFile.h"

std::string OrvPayloadDirectory::payloadPath(const std::string& directory, const std::string& appId,
                                             const std::string& templateCode) {
  return directory + "/" + appId + "/" + templateCode + ".json";
}

bool OrvPayloadDirectory::isSafeIdentifier(const std::string& id) {
  if (id.empty() || id.size() > 200 || id[0] == '.') return false;
  for (char c : id) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

int OrvPayloadDirectory::readPayloadFile(const std::string& directory, const std::string& file,
                                         std::string* content, std::string* problem) {
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char, Free> root(::realpath(directory.c_str(), nullptr));
  std::unique_ptr<char, Free> real(::realpath(file.c_str(), nullptr));
  if (!root || !real || std::string(real.get()).rfind(std::string(root.get()) + "/", 0) != 0)
    return 404;
  OrvRegularFile read = OrvRegularFile::read(real.get(), kMaxPayloadBytes, false);
  switch (read.outcome) {
    case OrvRegularFile::Outcome::kRead:
      *content = std::move(read.content);
      return 200;
    case OrvRegularFile::Outcome::kMissing:
    case OrvRegularFile::Outcome::kCannotOpen:
    case OrvRegularFile::Outcome::kNotRegular:
      return 404;
    case OrvRegularFile::Outcome::kTooLarge:
      *problem = "larger than " + std::to_string(kMaxPayloadBytes) + " bytes";
      return 500;
    case OrvRegularFile::Outcome::kCannotRead:
      *problem = std::string("cannot be read: ") + std::strerror(read.error);
      return 500;
  }
  return 500;
}
