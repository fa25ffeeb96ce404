#include "driver/serial/serial.h"

#include <cstring>

namespace qel {

using platform::Current;
using platform::Dcb;
using platform::Handle;

void ApplyLineSettings(Dcb& dcb, const LineParameters& params, uint16_t handshake) {
  dcb.BaudRate = params.baud;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  // DTR and RTS: the first test that matches decides.
  if ((handshake & (kDtrEnable | kDtrEnableAlt)) != 0) {
    dcb.fDtrControl = platform::kDtrControlEnable;
  } else if ((handshake & kDtrHandshake) != 0) {
    dcb.fDtrControl = platform::kDtrControlHandshake;
  } else {
    dcb.fDtrControl = platform::kDtrControlDisable;
  }
  dcb.fDsrSensitivity = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  if ((handshake & (kRtsEnable | kRtsEnableAlt)) != 0) {
    dcb.fRtsControl = platform::kRtsControlEnable;
  } else if ((handshake & kRtsHandshake) != 0) {
    dcb.fRtsControl = platform::kRtsControlHandshake;
  } else if ((handshake & kRtsToggle) != 0) {
    dcb.fRtsControl = platform::kRtsControlToggle;
  } else {
    dcb.fRtsControl = platform::kRtsControlDisable;
  }
  dcb.fAbortOnError = 0;
  dcb.ByteSize = static_cast<uint8_t>(params.data_bits & 0xFF);
  dcb.Parity = static_cast<uint8_t>(params.parity & 0xFF);
  dcb.StopBits = static_cast<uint8_t>(params.stop_bits & 0xFF);
  dcb.ErrorChar = static_cast<char>(kErrorCharValue);
}

int32_t SerOpen(const char* name, const LineParameters& params, uint16_t handshake,
                Handle* handle) {
  const platform::Ops& os = Current();
  const Handle h = os.open(name);
  *handle = h;
  if (h == platform::kInvalidHandle) return kSerOpenFailed;
  if (std::strcmp(name, "NUL") == 0) return kSerOk;  // the null device has no line settings

  Dcb dcb{};
  dcb.DCBlength = sizeof(Dcb);
  if (!os.get_comm_state(h, &dcb)) {
    os.close(h);
    return kSerNoLineSettings;
  }
  // The timeouts come before the line settings, the queues last.
  const platform::CommTimeouts timeouts{0, 0, kOpenReadTimeoutMs, 0, 0};
  if (!os.set_comm_timeouts(h, &timeouts)) {
    os.close(h);
    return kSerOpenFailed;
  }
  ApplyLineSettings(dcb, params, handshake);
  if (!os.set_comm_state(h, &dcb)) {
    os.close(h);
    return kSerRefused;
  }
  (void)os.setup_comm(h, kQueueSize, kQueueSize);
  return kSerOk;
}

int32_t SerClose(Handle handle) { return Current().close(handle) ? kSerOk : kSerIoFailed; }

int32_t SerSetReadTimeout(Handle handle, int32_t ticks) {
  const platform::Ops& os = Current();
  platform::CommTimeouts t{};
  if (!os.get_comm_timeouts(handle, &t)) return 0;
  // 32-bit arithmetic, as the port keeps milliseconds in 32 bits.
  const uint32_t wanted = static_cast<uint32_t>(ticks) * 10u;
  const uint32_t previous = t.ReadTotalTimeoutConstant;
  if (wanted != previous) {
    t.ReadTotalTimeoutConstant = wanted;
    if (!os.set_comm_timeouts(handle, &t)) return 0;
  }
  return static_cast<int32_t>(previous) / 10;
}

int32_t SerWrite(Handle handle, const void* data, uint32_t count, uint32_t* written) {
  uint32_t n = 0;
  if (!Current().write(handle, data, count, &n)) return kSerIoFailed;
  if (written != nullptr) *written = n;
  return n == count ? kSerOk : kSerShortWrite;
}

int32_t SerRead(Handle handle, void* buffer, uint16_t count, uint32_t* received) {
  const platform::Ops& os = Current();
  auto* bytes = static_cast<unsigned char*>(buffer);
  if (received != nullptr) *received = 0;
  uint32_t total = 0;
  do {
    uint32_t got = 0;
    if (!os.read(handle, bytes + total, count - total, &got)) return kSerIoFailed;
    if (got == 0) return kSerIoFailed;  // a whole timeout without a byte
    total += got;
    if (received != nullptr) *received = total;
  } while (total < count);
  return kSerOk;
}

}  // namespace qel
