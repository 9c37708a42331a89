#pragma once
// The logging facility of the stack, over log4cplus:
//  - TellarLogger.h: levels, loggers, file-scope loggers, emission macros;
//  - TellarTrace.h:  trace scopes and assertions;
//  - TellarAlloc.h:  tagged allocators with live-object counts;
//  - TellarConfig.h: configuration (default, properties file, NVSIP_LOG_CONFIG).
// Test support (capturing records in memory) is in TellarCapture.h, not
// included here.

#include "stack/log/TellarAlloc.h"
#include "stack/log/TellarConfig.h"
#include "stack/log/TellarLogger.h"
#include "stack/log/TellarTrace.h"
