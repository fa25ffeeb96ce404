// Gate reads and writes (commands 5 and 7) and the refused block transfers (6 and 10).
#pragma once

#include <cstdint>

#include "driver/host/records.h"

namespace qel {

int32_t SingleRead(DriverRequest* request);   // 0, 1 (controller error report or bad input), 2
int32_t SingleWrite(DriverRequest* request);  // 0, 1 (controller error report or bad input), 2
int32_t BlockRead(DriverRequest* request);    // always 1
int32_t BlockWrite(DriverRequest* request);   // always 1

// Copies characters until count have been copied or a CR is met; the CR is written as a zero
// byte and ends the copy. The destination must be zero-filled beforehand.
void CopyToCR(const char* source, uint16_t count, char* destination);

// Converts text into the gate's value area by its type: 3 a float in bytes 0..3, 6 a word in
// bytes 2..3; any other type stores nothing.
void StoreValue(const GateTransfer& gate, const char* text);

}  // namespace qel
