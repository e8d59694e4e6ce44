// Shared internals of the remote-configuration component.
#pragma once

#include "platform/execution/OrvSerialExecutor.h"
#include "platform/logs/OrvLogChannel.h"

// Runs fetches, one at a time. Never destroyed.
OrvSerialExecutor& orvRCWorker();
// Runs fetch-task listeners, so a slow listener never delays a fetch. Never destroyed.
OrvSerialExecutor& orvRCCallbackQueue();

// The component's own log, separate from the library's: "[OrvRemoteConfig] message",
// switched by OrvRemoteConfig::enableLog.
OrvLogChannel& orvRCLog();

// Multiplies every refresh delay (tests run the schedule in milliseconds). Default 1.
void orvRCSetRefreshTimeScaleForTesting(double scale);
