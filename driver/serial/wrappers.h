// The line wrappers the rest of the driver calls.
#pragma once

#include <cstdint>

#include "driver/host/records.h"
#include "driver/platform/platform.h"

namespace qel {

// Opens the port that the settings describe; 0 when it cannot be opened or configured, or when
// the recorded name does not end within its 12-byte field.
platform::Handle OpenPortHandle(const PortSettings& settings);

// Writes count bytes on the port of the request's line: 1 when all were written, else 0.
int32_t SendString(const DriverRequest* request, const void* data, uint32_t count);

// Reads exactly count bytes from the port of the request's line: 1 on success, else 0 after a
// log line.
int32_t RecvString(const DriverRequest* request, void* buffer, uint16_t count);

// Reads and throws away what is waiting on the line's port under the trailer timeout, then puts
// back the line's reply timeout.
void DrainInput(const LineWorkArea* work);

// Throws away what has arrived on the line's port and not been read, without waiting: the rest
// of an answer that came after its request was given up, so that it cannot pass for the answer
// to the next request.
void DiscardInput(const LineWorkArea* work);

}  // namespace qel
