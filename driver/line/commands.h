// The six line commands: start a line, flush its input, close, reopen and reconfigure its port.
// Each takes the DriverRequest and returns 0 or 2; a request without the work area or argument
// record it needs answers 2.
#pragma once

#include <cstdint>

#include "driver/host/records.h"

namespace qel {

int32_t LineStart(DriverRequest* request);   // 1
int32_t LineFlush(DriverRequest* request);   // 2
int32_t LineStop(DriverRequest* request);    // 11
int32_t PortClose(DriverRequest* request);   // 12
int32_t PortOpen(DriverRequest* request);    // 13
int32_t PortUpdate(DriverRequest* request);  // 15

// The start-up line: when the driver was built.
extern const char kBuildLine[];

}  // namespace qel
