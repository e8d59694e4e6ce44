// A separate process for the exposure store's restart and concurrency tests.
//   orv_store_helper DIR put APP KEY=1|KEY=0|KEY=s:TEXT ...   write, then exit
//   orv_store_helper DIR get APP KEY ...                       print KEY=1|0|-|s:TEXT
#include <cstdio>
#include <string>

#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentStorage.h"

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  OrvPlatform::setDataDirectory(argv[1]);
  OrvExperimentStorage::initWithAppId(argv[3]);
  const bool put = std::string(argv[2]) == "put";
  for (int i = 4; i < argc; ++i) {
    const std::string arg = argv[i];
    if (put) {
      const std::string key = arg.substr(0, arg.find('=')), value = arg.substr(key.size() + 1);
      if (value.rfind("s:", 0) == 0) {
        OrvExperimentStorage::putString(value.substr(2), key);
      } else {
        OrvExperimentStorage::putBool(value == "1", key);
      }
      continue;
    }
    const bool a = OrvExperimentStorage::getBoolForKey(arg, false);
    const std::string s = OrvExperimentStorage::getStringForKey(arg, "\x01");
    if (a != OrvExperimentStorage::getBoolForKey(arg, true)) {
      std::printf("%s=-\n", arg.c_str());
    } else if (s != "\x01" && s != "true" && s != "false") {
      std::printf("%s=s:%s\n", arg.c_str(), s.c_str());
    } else {
      std::printf("%s=%d\n", arg.c_str(), a ? 1 : 0);
    }
  }
  return 0;
}
