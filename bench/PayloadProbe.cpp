// Loads one payload file through the whole library (start-up fetch from file://, parse,
// table) in a fresh process and prints what that cost in memory:
//   code=<start-up outcome: 0 or the failure code> features=<table size>
//   peak=<peak resident growth, bytes> held=<resident growth once loaded, bytes>
//   heap=<heap in use once loaded (mapped blocks included), less before the start, bytes>
// Once loaded means after start-up's outcome and malloc_trim(): the library's threads
// stay up, each with whatever it keeps (its JSON parser's buffers among them).
// Usage: orv_payload_probe DATA_DIR PAYLOAD_FILE. Run by BM_PayloadMemory.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <string>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvFeatureManager.h"

namespace {

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
long statusBytes(const std::string& field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1)) * 1024;
  }
  return -1;
}

// Heap in use: the arenas' allocated chunks plus mapped blocks (large buffers).
long heapBytes() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<long>(info.uordblks + info.hblkhd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: orv_payload_probe DATA_DIR PAYLOAD_FILE\n");
    return 2;
  }
  OrvPlatform::setDataDirectory(argv[1]);
  malloc_trim(0);
  const long before = statusBytes("VmRSS");
  const long heapBefore = heapBytes();
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  auto outcome = std::make_shared<std::promise<std::int64_t>>();
  auto task = OrvExperimentTask::create();
  task->addOnSuccessListener([outcome] { outcome->set_value(0); })
      ->addOnFailureListener(
          [outcome](std::int64_t code, const std::string&) { outcome->set_value(code); });
  auto config = OrvExperimentConfig::create("probe", std::string("file://") + argv[2]);
  config->setStartupTask(task);
  OrvExperiment::startWithConfig(config);
  const std::int64_t code = outcome->get_future().get();
  config->setStartupTask(nullptr);
  malloc_trim(0);
  const auto table = OrvFeatureManager::sharedInstance().features();
  std::printf("code=%lld features=%zu peak=%ld held=%ld heap=%ld\n", static_cast<long long>(code),
              table ? table->size() : std::size_t{0}, statusBytes("VmHWM") - before,
              statusBytes("VmRSS") - before, heapBytes() - heapBefore);
  return 0;
}
