#include "driver/line/commands.h"

#include <cstring>

#include "driver/host/log.h"
#include "driver/line/settings.h"
#include "driver/serial/serial.h"
#include "driver/serial/wrappers.h"

namespace qel {

#define QEL_BUILD_LINE "QELPRV> version compiled on " __DATE__ " at time " __TIME__
const char kBuildLine[] = QEL_BUILD_LINE;

namespace {

constexpr int32_t kMinimumReplyTimeout = 100;

// Length of a host's port name, or kPortNameSize when it does not end within its field.
std::size_t PortNameLength(const char (&name)[kPortNameSize]) {
  const void* nul = std::memchr(name, '\0', kPortNameSize);
  return nul == nullptr ? kPortNameSize
                        : static_cast<std::size_t>(static_cast<const char*>(nul) - name);
}

// Keeps a newly opened handle. Where the device let a second open of a port this line already
// holds succeed, the old handle is closed first so that it does not leak.
void StoreHandle(LineWorkArea* work, platform::Handle handle) {
  if (work->port_handle != 0 && work->port_handle != handle) (void)SerClose(work->port_handle);
  work->port_handle = handle;
}

int32_t ClosePort(LineWorkArea* work) {
  if (work->port_handle == 0) return kOk;
  if (SerClose(work->port_handle) != kSerOk) return kFailed;  // still counts as open
  work->port_handle = 0;
  return kOk;
}

}  // namespace

int32_t LineStart(DriverRequest* request) {
  if (request == nullptr || request->work == nullptr || request->arg == nullptr) return kFailed;
  LineWorkArea* work = request->work;
  const auto* setup = static_cast<const LineSetup*>(request->arg);

  err(kLogNotice, QEL_BUILD_LINE);
  work->post_pause_ms = 0;
  ReadLineSettings(request);

  work->in_use = setup->in_use;
  if (setup->in_use == 0) return kOk;

  // A name that does not fit the 12-byte field with its NUL is refused, never cut.
  const std::size_t length = PortNameLength(setup->port_name);
  PortSettings settings{};
  std::memcpy(settings.name, setup->port_name, length < kPortNameSize ? length : kPortNameSize - 1);
  if (length >= kPortNameSize) {
    err(kLogNotice, "QELPR : Fail to open %s", settings.name);  // the first 11 characters
    return kFailed;
  }
  settings.params = setup->params;
  settings.handshake = kLineStartHandshake;

  const platform::Handle handle = OpenPortHandle(settings);
  if (handle == 0) {
    err(kLogNotice, "QELPR : Fail to open %s", settings.name);
    return kFailed;
  }
  StoreHandle(work, handle);
  (void)SerSetReadTimeout(handle, setup->reply_timeout);
  work->port = settings;
  work->reply_timeout =
      setup->reply_timeout < kMinimumReplyTimeout ? kMinimumReplyTimeout : setup->reply_timeout;
  err(kLogNotice, "QELPRV: Landis&Stafea Driver loaded successfully.");
  return kOk;
}

int32_t LineFlush(DriverRequest* request) {
  if (request == nullptr || request->work == nullptr) return kFailed;
  if (request->work->port_handle != 0) DrainInput(request->work);
  return kOk;
}

int32_t PortClose(DriverRequest* request) {
  if (request == nullptr || request->work == nullptr) return kFailed;
  return ClosePort(request->work);
}

int32_t LineStop(DriverRequest* request) {
  return PortClose(request);
}

int32_t PortOpen(DriverRequest* request) {
  if (request == nullptr || request->work == nullptr) return kFailed;
  LineWorkArea* work = request->work;
  const platform::Handle handle = OpenPortHandle(work->port);
  if (handle == 0) return kFailed;
  work->in_use = 1;
  StoreHandle(work, handle);
  return kOk;
}

int32_t PortUpdate(DriverRequest* request) {
  if (request == nullptr || request->work == nullptr || request->arg == nullptr) return kFailed;
  LineWorkArea* work = request->work;
  const auto* update = static_cast<const PortUpdateRecord*>(request->arg);

  // A name that does not fit the field is refused before anything changes.
  const std::size_t length = PortNameLength(update->port_name);
  if (length >= kPortNameSize) return kFailed;

  if (update->reply_timeout != 0) work->reply_timeout = update->reply_timeout;
  if (std::strncmp(update->port_name, work->port.name, kPortNameSize) != 0 &&
      work->port_handle != 0) {
    (void)ClosePort(work);
  }
  std::memset(work->port.name, 0, kPortNameSize);
  std::memcpy(work->port.name, update->port_name, length);
  work->port.params = update->params;

  const platform::Handle handle = OpenPortHandle(work->port);
  if (handle == 0) return kFailed;
  StoreHandle(work, handle);
  return kOk;
}

}  // namespace qel
