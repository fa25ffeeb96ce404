// Collecting a controller's answer to one request: the echo, the data block, the trailer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/host/records.h"

namespace qel {

inline constexpr std::size_t kReplyBufferSize = 100;
inline constexpr char kStx = '\x02';
inline constexpr char kEtx = '\x03';
inline constexpr char kCr = '\r';

enum ReplyResult : uint8_t {
  kReplyAccepted = 0,  // a block passed the check and its trailer was read through its ETX
  kReplyTooLong = 1,   // the 99th character of the call arrived during the reply phase
  kReplyFailed = 2,    // a character did not come, three blocks were rejected, or the trailer
                       // ran to the 99th character
};

// Collects one answer into reply (kReplyBufferSize bytes, zero-filled by the caller before its
// first call for a command and passed untouched to every later one). *reply_length is the count
// stored through the block's ETX. The request's argument record is the GateTransfer whose name
// the echo is compared with; the caller has checked that the name fits 31 characters.
uint8_t ReadReply(const DriverRequest* request, char* reply, uint16_t* reply_length);

}  // namespace qel
