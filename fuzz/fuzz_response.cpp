// A server's answer (status, header lines, body) through the component's response
// handling: interpretation and ETag extraction never crash and keep their promises.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "remote_config/OrvRCResponse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  OrvRCRawResponse raw;
  static const long statuses[] = {200, 304, 404, 500, 0};
  raw.status = input.ConsumeBool() ? statuses[input.ConsumeIntegralInRange<int>(0, 4)]
                                   : input.ConsumeIntegralInRange<long>(-1, 1000);
  if (input.ConsumeIntegralInRange<int>(0, 9) == 0) {
    raw.transportError = -input.ConsumeIntegralInRange<int>(1, 8);
    raw.transportMessage = input.ConsumeRandomLengthString(64);
  }
  const int headers = input.ConsumeIntegralInRange<int>(0, 8);
  for (int i = 0; i < headers; ++i) raw.headerLines.push_back(input.ConsumeRandomLengthString(128));
  raw.body = input.ConsumeRemainingBytesAsString();

  OrvRCFetchOutcome outcome = OrvRCResponse::interpret(raw);
  if (outcome.success) {
    if (!outcome.notModified && !outcome.payload.isDictionary()) std::abort();
    for (char c : outcome.etag) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
        std::abort();
    }
  } else if (outcome.code == 0 || outcome.message.empty()) {
    std::abort();
  }
  return 0;
}
