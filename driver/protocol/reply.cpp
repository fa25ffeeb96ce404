// The reply reader.
//
// An answer arrives as three pieces: the echo of the request (which begins with the gate name),
// the data block STX ... ETX, and a trailer up to the next ETX. The reply phase stores what
// arrives until an ETX, restarting the store at every STX, where it also compares the stored echo
// with the gate name. The stored block then goes to the response check; a rejected block is
// followed by another attempt that reads on from the line without a new request (three attempts
// at most). The trailer phase reads and discards up to the next ETX under the trailer timeout.
// One counter limits the whole call: its 99th character ends it.
#include "driver/protocol/reply.h"

#include <cstring>

#include "driver/host/log.h"
#include "driver/line/trailer_timeout.h"
#include "driver/platform/platform.h"
#include "driver/protocol/response.h"
#include "driver/serial/serial.h"
#include "driver/serial/wrappers.h"

namespace qel {

namespace {

constexpr int kTriesPerCharacter = 3;
constexpr uint32_t kTryPauseMs = 50;
constexpr int kAttempts = 3;
constexpr uint16_t kExchangeLimit = 99;

// Up to three tries for one character, 50 ms apart.
bool ReadCharacter(const DriverRequest* request, char* c) {
  for (int attempt = 1; attempt <= kTriesPerCharacter; ++attempt) {
    if (RecvString(request, c, 1) != 0) return true;
    if (attempt < kTriesPerCharacter) platform::Current().sleep(kTryPauseMs);
  }
  err(kLogNotice,
      "QELPRV: ReadReply() Failed to read a character from PLC (Returning Recovery Error)");
  return false;
}

}  // namespace

uint8_t ReadReply(const DriverRequest* request, char* reply, uint16_t* reply_length) {
  *reply_length = 0;
  const auto* gate = static_cast<const GateTransfer*>(request->arg);
  char name[kGateNameFieldSize] = {};
  std::strncpy(name, gate->name, kMaxGateName);
  const std::size_t name_length = std::strlen(name);
  const auto line = static_cast<uint16_t>(request->line);
  const int32_t reply_timeout = request->work->reply_timeout;
  const platform::Handle port = request->work->port_handle;

  uint16_t store = 0;
  uint16_t exchanged = 0;
  int rejected = 0;
  char c = 0;

  for (;;) {
    (void)SerSetReadTimeout(port, reply_timeout);
    c = 0;
    while (c != kEtx) {
      if (!ReadCharacter(request, &c)) return kReplyFailed;
      if (++exchanged == kExchangeLimit) return kReplyTooLong;
      if (c == kStx) {
        store = 0;
        // What is stored before the STX is the echo.
        if (std::strncmp(reply, name, name_length) != 0) {
          err(kLogWarning,
              "QELPRV: CheckResponseData() The response (%s) is not regarding the tag read (%s)",
              reply, name);
        }
      }
      reply[store++] = c;  // store < exchanged <= 98, so indices 98 and 99 stay untouched
      if (c == kEtx) *reply_length = store;
    }
    if (CheckResponseData(reply, *reply_length, name, line) == 0) break;
    err(kLogWarning,
        "QELPRV: ReadReply() Wrong response has been received : Gate %s, Received : %s", name,
        reply);
    if (++rejected == kAttempts) {
      err(kLogNotice, "QELPRV: ReadReply() Maximum retry count reached.");
      return kReplyFailed;
    }
  }

  (void)SerSetReadTimeout(port, CurrentTrailerTimeout());
  c = 0;
  while (c != kEtx) {
    if (!ReadCharacter(request, &c)) return kReplyFailed;
    if (++exchanged == kExchangeLimit) {
      err(kLogNotice, "QELPRV: ReadReply() 99 bytes read and ETX not found!");
      return kReplyFailed;
    }
  }
  (void)SerSetReadTimeout(port, reply_timeout);
  return kReplyAccepted;
}

}  // namespace qel
