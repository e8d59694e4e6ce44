// A minimal application built against an installed OrvExperiment.
#include <OrvExperiment/OrvExperiment.h>
#include <OrvExperiment/OrvPlatform.h>
#include <OrvMediator.h>

#include <cstdio>

int main() {
  OrvMediator::sharedInstance()->addEventSink([](const OrvMediatorEvent&) {});
  OrvValue::ParseResult parsed = OrvValue::parseJson(R"({"greeting":"hello"})");
  if (!parsed.ok()) return 1;
  std::printf("%s %s\n", parsed.value["greeting"].description().c_str(),
              OrvExperiment::getSDKVersion().c_str());
  // Before start-up every read answers its default.
  return OrvExperiment::getValueAsString("greeting", "hello") == "hello" ? 0 : 1;
}
