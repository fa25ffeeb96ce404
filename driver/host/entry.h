// The command table and its handlers' common form.
#pragma once

#include <cstdint>

#include "driver/host/records.h"

namespace qel {

using Handler = int32_t (*)(DriverRequest* request);

inline constexpr int kCommandSlots = 16;

// Slot n holds the handler of command code n; empty slots hold nullptr.
extern const Handler CommandTable[kCommandSlots];

// Command 4: answers 1 at once.
int32_t RefuseAtOnce(DriverRequest* request);

}  // namespace qel
