// The line settings file "QELPRV<nn>.INT" and its one key, MSG_TRAILER_TIMEOUT.
#pragma once

#include <cstdint>

#include "driver/host/records.h"

namespace qel {

// Sets TrailerTimeout to 10, then applies the settings file of the request's line from the
// current directory. It has no result: the start-up goes on whatever happened.
void ReadLineSettings(const DriverRequest* request);

// Matches one line against "MSG_TRAILER_TIMEOUT = %i". True and *value when an integer in the
// 32-bit signed range is read.
bool MatchTrailerTimeoutLine(const char* line, int32_t* value);

}  // namespace qel
