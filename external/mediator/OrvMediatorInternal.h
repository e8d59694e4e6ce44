// What the mediator's sources share and nothing else sees.
#pragma once

#include "platform/logs/OrvLogChannel.h"

// The mediator's log channel ("[OrvMediator]"), switched by OrvMediator::enableLog; the
// OTLP exporters write to it too.
OrvLogChannel& orvMediatorLog();
