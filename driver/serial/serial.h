// The serial library: five operations on a port handle, written against the platform seam.
// They know nothing of lines, requests or the log.
#pragma once

#include <cstdint>

#include "driver/host/records.h"
#include "driver/platform/platform.h"

namespace qel {

// Result codes of the serial library.
enum SerResult : int32_t {
  kSerOk = 0,
  kSerOpenFailed = 1,      // the device did not open, or its timeouts could not be set
  kSerShortWrite = 2,      // fewer bytes written than asked
  kSerNoLineSettings = 4,  // the device has no line settings (it is no serial port)
  kSerRefused = 5,         // the device refused the line settings
  kSerIoFailed = 7,        // read, write or close failed, or a read brought no byte in time
};

inline constexpr uint32_t kOpenReadTimeoutMs = 1000;
inline constexpr uint32_t kQueueSize = 1200;
inline constexpr uint8_t kErrorCharValue = 0xFC;

// Opens the named device and gives it the line parameters, the handshake settings, the timeouts
// (0, 0, 1000, 0, 0) and queues of 1200 bytes. The null device "NUL" gets none of these.
// *handle receives what the open yields, whatever it is.
int32_t SerOpen(const char* name, const LineParameters& params, uint16_t handshake,
                platform::Handle* handle);

int32_t SerClose(platform::Handle handle);

// Sets the total read timeout to ticks * 10 ms; returns the previous one in ticks, or 0.
int32_t SerSetReadTimeout(platform::Handle handle, int32_t ticks);

int32_t SerWrite(platform::Handle handle, const void* data, uint32_t count, uint32_t* written);

// Reads until count bytes have arrived; gives up after one whole read timeout that brought
// nothing. *received counts the bytes stored so far.
int32_t SerRead(platform::Handle handle, void* buffer, uint16_t count, uint32_t* received);

// The DCB that SerOpen applies, given the one read from the port.
void ApplyLineSettings(platform::Dcb& dcb, const LineParameters& params, uint16_t handshake);

}  // namespace qel
