// Gate reads and writes.
//
// A read sends "NAME\r" and takes the value from the data block of the answer: the block's text
// from its fourth character (after the STX and the two header characters) up to its first CR.
// A write sends "NAME=VALUE\r" and looks for a controller error report in the data block. Each
// exchange is made up to five times; a read pauses 50 ms and drains the input before each repeat.
// Every read and write that reaches the line ends with its post-transaction pause; one refused for
// bad input from the host uses no line and makes no pause.
//
// What is judged at each attempt:
//   read:  an accepted answer whose block text is a controller error report ("ERROR nn") ends the
//          read with 1 and stores nothing; one whose text holds no number counts as unanswered.
//   write: the data block decides, whether or not its trailer came: no block at all is
//          unanswered (the result stays 2), an error report sets 1 and tries again, anything
//          else confirms the write (0).
#include "driver/gate/transfer.h"

#include <cmath>
#include <cstring>

#include "driver/gate/values.h"
#include "driver/host/log.h"
#include "driver/platform/platform.h"
#include "driver/protocol/reply.h"
#include "driver/protocol/response.h"
#include "driver/serial/wrappers.h"

namespace qel {

namespace {

constexpr int kAttempts = 5;
constexpr uint32_t kRepeatPauseMs = 50;
constexpr std::size_t kRequestSize = 50;  // 49 characters, CR included
constexpr std::size_t kBlockTextOffset = 3;
constexpr std::size_t kErrorTextSize = 64;

// The host's gate name, copied when it ends within 32 bytes. A longer one is refused; out then
// holds its first 31 characters, for the log. Nothing is read past the 32nd byte.
bool TakeGateName(const char* name, char (&out)[kGateNameFieldSize]) {
  std::memset(out, 0, sizeof out);
  if (name == nullptr) return false;
  const std::size_t length = strnlen(name, kGateNameFieldSize);
  std::memcpy(out, name, length < kGateNameFieldSize ? length : kMaxGateName);
  return length < kGateNameFieldSize;
}

// Checks what the host passed with a gate read or write. A refusal is logged in one line that
// names the operation and, where it can be printed safely, the gate; nothing has been sent then
// and the value area is untouched.
bool CheckTransfer(const DriverRequest* request, const char* operation,
                   char (&name)[kGateNameFieldSize]) {
  if (request == nullptr || request->arg == nullptr) {
    err(kLogNotice, "QELPRV: %s() refused: no gate record", operation);
    return false;
  }
  const auto* gate = static_cast<const GateTransfer*>(request->arg);
  if (gate->name == nullptr) {
    err(kLogNotice, "QELPRV: %s() refused: no gate name", operation);
    return false;
  }
  if (!TakeGateName(gate->name, name)) {
    err(kLogNotice, "QELPRV: %s() Tag %s...: refused: name longer than 31 characters", operation,
        name);
    return false;
  }
  if (request->work == nullptr) {
    err(kLogNotice, "QELPRV: %s() Tag %s: refused: no line work area", operation, name);
    return false;
  }
  if (gate->value == nullptr) {
    err(kLogNotice, "QELPRV: %s() Tag %s: refused: no value area", operation, name);
    return false;
  }
  return true;
}

uint16_t BlockTextLength(uint16_t reply_length) {
  return reply_length > kBlockTextOffset ? static_cast<uint16_t>(reply_length - kBlockTextOffset)
                                         : 0;
}

bool IsErrorReport(const char* text) {
  return std::strncmp(text, "ERROR", 5) == 0;
}

bool HoldsNumber(int32_t type, const char* text) {
  bool found = false;
  if (type == kTypeFloat) {
    (void)ParseFloatValue(text, &found);
  } else if (type == kTypeWord) {
    (void)ParseWordValue(text, &found);
  } else {
    found = true;  // nothing is converted for other types
  }
  return found;
}

void LogControllerError(const char* name, uint16_t reported) {
  char text[kErrorTextSize];
  err(kLogNotice, "QELPRV: Tag %s: %s", name,
      ControllerErrorText(ControllerErrorNumber(reported), text, sizeof text));
}

void PostTransactionPause(const LineWorkArea* work) {
  platform::Current().sleep(work->post_pause_ms);
}

}  // namespace

void CopyToCR(const char* source, uint16_t count, char* destination) {
  for (uint16_t i = 0; i < count; ++i) {
    if (source[i] == kCr) {
      destination[i] = '\0';
      return;
    }
    destination[i] = source[i];
  }
}

void StoreValue(const GateTransfer& gate, const char* text) {
  bool found = false;
  auto* value = static_cast<unsigned char*>(gate.value);
  if (gate.type == kTypeFloat) {
    const float f = ParseFloatValue(text, &found);
    std::memcpy(value, &f, sizeof f);
  } else if (gate.type == kTypeWord) {
    const uint16_t w = ParseWordValue(text, &found);
    value[2] = static_cast<unsigned char>(w & 0xFF);
    value[3] = static_cast<unsigned char>(w >> 8);
  }
}

int32_t SingleRead(DriverRequest* request) {
  char name[kGateNameFieldSize];
  if (!CheckTransfer(request, "SingleRead", name)) return kRefused;
  const auto* gate = static_cast<const GateTransfer*>(request->arg);
  LineWorkArea* work = request->work;
  const auto line = static_cast<uint16_t>(request->line);

  int32_t result = kFailed;
  uint16_t reported = 0;
  char text[kRequestSize];
  const std::size_t name_length = std::strlen(name);  // at most 31: "NAME\r" fits
  std::memcpy(text, name, name_length);
  text[name_length] = kCr;
  text[name_length + 1] = '\0';
  const auto text_length = static_cast<uint32_t>(name_length + 1);

  char reply[kReplyBufferSize] = {};
  char value_text[kReplyBufferSize] = {};
  uint16_t reply_length = 0;

  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    if (attempt > 1) {
      platform::Current().sleep(kRepeatPauseMs);
      DrainInput(work);
    }
    DiscardInput(work);
    (void)SendString(request, text, text_length);
    if (ReadReply(request, reply, &reply_length) != kReplyAccepted) continue;

    std::memset(value_text, 0, sizeof value_text);
    const uint16_t block_length = BlockTextLength(reply_length);
    CopyToCR(reply + kBlockTextOffset, block_length, value_text);
    if (IsErrorReport(value_text)) {
      // The controller rejected the read: nothing to store, and asking again will not help.
      reported = CheckResponseData(reply + kBlockTextOffset, block_length, name, line);
      result = kRefused;
      break;
    }
    if (!HoldsNumber(gate->type, value_text)) continue;  // no value came: unanswered
    result = kOk;
    break;
  }

  if (result != kOk) {
    err(kLogNotice, "QELPRV: SingleRead() Tag %s: Read failed. rc = %d ", name,
        static_cast<int>(result));
  }
  if (result == kRefused) LogControllerError(name, reported);
  if (result == kOk) StoreValue(*gate, value_text);
  PostTransactionPause(work);
  return result;
}

int32_t SingleWrite(DriverRequest* request) {
  char name[kGateNameFieldSize];
  if (!CheckTransfer(request, "SingleWrite", name)) return kRefused;
  const auto* gate = static_cast<const GateTransfer*>(request->arg);
  LineWorkArea* work = request->work;
  const auto line = static_cast<uint16_t>(request->line);

  // The request text, built once from the low 16 bits of the type.
  char text[kRequestSize];
  int length = -1;
  const auto* value = static_cast<const unsigned char*>(gate->value);
  const auto type = static_cast<uint16_t>(static_cast<uint32_t>(gate->type) & 0xFFFFu);
  if (type == kTypeWord) {
    const auto word = static_cast<uint16_t>(value[2] | (value[3] << 8));
    length = FormatWordWrite(text, sizeof text, name, word);
  } else if (type == kTypeFloat) {
    float f = 0;
    std::memcpy(&f, value, sizeof f);
    if (!std::isfinite(f)) {
      err(kLogNotice, "QELPRV: SingleWrite() Tag %s: refused: the value is not a finite number",
          name);
      return kRefused;
    }
    length = FormatFloatWrite(text, sizeof text, name, f);
    if (length < 0) {
      err(kLogNotice,
          "QELPRV: SingleWrite() Tag %s: refused: the request text would be longer than 49 "
          "characters",
          name);
      return kRefused;
    }
  } else {
    err(kLogNotice, "QELPRV: SingleWrite() Tag %s: refused: gate type %d cannot be written", name,
        static_cast<int>(gate->type));
    return kRefused;
  }

  int32_t result = kFailed;
  uint16_t reported = 0;
  char reply[kReplyBufferSize] = {};
  uint16_t reply_length = 0;

  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    DiscardInput(work);
    (void)SendString(request, text, static_cast<uint32_t>(length));
    (void)ReadReply(request, reply, &reply_length);
    if (reply_length == 0) continue;  // no data block: unanswered
    const uint16_t number =
        CheckResponseData(reply + kBlockTextOffset, BlockTextLength(reply_length), name, line);
    if (number != 0) {
      reported = number;
      result = kRefused;
      continue;
    }
    result = kOk;
    break;
  }

  if (result != kOk) {
    err(kLogNotice, "QELPRV: Tag %s: Write failed. rc = %d ", name, static_cast<int>(result));
  }
  if (result == kRefused) LogControllerError(name, reported);
  PostTransactionPause(work);
  return result;
}

namespace {

int32_t RefuseBlockTransfer(const DriverRequest* request, bool read) {
  char name[kGateNameFieldSize] = {};
  if (request != nullptr && request->arg != nullptr) {
    (void)TakeGateName(static_cast<const GateTransfer*>(request->arg)->name, name);
  }
  if (read) {
    err(kLogNotice, "QELPR: BlockRead() not supported! Tag '%s'", name);
  } else {
    err(kLogNotice, "QELPR: BlockWrite() not supported! Tag '%s'", name);
  }
  return kRefused;
}

}  // namespace

int32_t BlockRead(DriverRequest* request) {
  return RefuseBlockTransfer(request, true);
}
int32_t BlockWrite(DriverRequest* request) {
  return RefuseBlockTransfer(request, false);
}

}  // namespace qel
