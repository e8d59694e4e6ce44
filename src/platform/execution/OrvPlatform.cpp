#include "OrvExperiment/OrvPlatform.h"

#include "platform/execution/OrvMainQueue.h"
#include "platform/files/OrvDataDirectory.h"
#include "platform/logs/OrvConsole.h"

void OrvPlatform::setDataDirectory(std::string path) { OrvDataDirectory::set(std::move(path)); }

std::string OrvPlatform::dataDirectory() { return OrvDataDirectory::get(); }

void OrvPlatform::setMainQueueExecutor(std::function<void(std::function<void()>)> executor) {
  OrvMainQueue::setExecutor(std::move(executor));
}

void OrvPlatform::setConsoleSink(std::function<void(std::string_view line)> sink) {
  OrvConsole::setSink(std::move(sink));
}
