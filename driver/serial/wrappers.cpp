#include "driver/serial/wrappers.h"

#include <cstring>

#include "driver/host/log.h"
#include "driver/line/trailer_timeout.h"
#include "driver/serial/serial.h"

namespace qel {

platform::Handle OpenPortHandle(const PortSettings& settings) {
  if (std::memchr(settings.name, '\0', kPortNameSize) == nullptr) return 0;
  platform::Handle handle = 0;
  if (SerOpen(settings.name, settings.params, settings.handshake, &handle) != kSerOk) return 0;
  return handle;
}

int32_t SendString(const DriverRequest* request, const void* data, uint32_t count) {
  uint32_t written = 0;
  const int32_t rc = SerWrite(request->work->port_handle, data, count, &written);
  return rc == kSerOk && written == count ? 1 : 0;
}

int32_t RecvString(const DriverRequest* request, void* buffer, uint16_t count) {
  uint32_t received = 0;
  const int32_t rc = SerRead(request->work->port_handle, buffer, count, &received);
  if (rc == kSerOk && received == count) return 1;
  err(kLogNotice, "QELPRV: RecvString() failed (Len=%d - Count=%d)", static_cast<int>(count),
      static_cast<int>(received));
  return 0;
}

void DiscardInput(const LineWorkArea* work) {
  (void)platform::Current().purge_input(work->port_handle);
}

void DrainInput(const LineWorkArea* work) {
  constexpr uint16_t kScratchSize = 500;
  const int32_t reply_timeout = work->reply_timeout;
  const platform::Handle handle = work->port_handle;
  (void)SerSetReadTimeout(handle, CurrentTrailerTimeout());
  unsigned char scratch[kScratchSize];
  (void)SerRead(handle, scratch, kScratchSize, nullptr);
  (void)SerSetReadTimeout(handle, reply_timeout);
}

}  // namespace qel
