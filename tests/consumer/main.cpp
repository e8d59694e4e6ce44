// A minimal application built against an installed OrvExperiment.
#include <OrvExperiment/OrvValue.h>

#include <cstdio>

int main() {
  OrvValue::ParseResult parsed = OrvValue::parseJson(R"({"greeting":"hello"})");
  if (!parsed.ok()) return 1;
  std::printf("%s\n", parsed.value["greeting"].description().c_str());
  return parsed.value["greeting"].stringValue() == "hello" ? 0 : 1;
}
