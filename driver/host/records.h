// The records the host passes to QelMain.
//
// Every record is owned by the host and is valid only during the call that passes it. On a
// 32-bit host (the Win32 DLL) the offsets are exactly the documented ones; on a host with 8-byte
// pointers every pointer widens, every other field keeps its width and order, and natural
// alignment applies. LineWorkArea, LineSetup and PortUpdateRecord hold no pointers and are the
// same on both. All integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel {

// Command codes, the slots of the command table.
enum CommandCode : int32_t {
  kCmdLineStart = 1,
  kCmdLineFlush = 2,
  kCmdGateDefine = 3,
  kCmdGateDefineAlt = 4,  // answered with 1 at once
  kCmdSingleRead = 5,
  kCmdBlockRead = 6,
  kCmdSingleWrite = 7,
  kCmdBlockWrite = 10,
  kCmdLineStop = 11,
  kCmdPortClose = 12,
  kCmdPortOpen = 13,
  kCmdDriverInfo = 14,
  kCmdPortUpdate = 15,
};

// Results of every command handler.
enum Result : int32_t {
  kOk = 0,       // carried out
  kRefused = 1,  // refused by the driver, or rejected by the controller
  kFailed = 2,   // failed
};

// Gate types.
enum GateType : int32_t {
  kTypeFloat = 3,  // 32-bit IEEE-754 float in bytes 0..3 of the value area
  kTypeWord = 6,   // 16-bit unsigned in bytes 2..3 of the value area; bytes 0..1 untouched
};

// Baud rate, data bits, stop-bits code (0 one, 1 one and a half, 2 two) and parity code
// (0 none, 1 odd, 2 even, 3 mark, 4 space). Only the low byte of the last three is used.
struct LineParameters {
  uint16_t baud;
  uint16_t data_bits;
  uint16_t stop_bits;
  uint16_t parity;
};

// Handshake flags: how DTR and RTS are driven when the port opens.
enum HandshakeFlags : uint16_t {
  kDtrEnable = 0x0001,
  kRtsEnable = 0x0002,
  kDtrEnableAlt = 0x0100,
  kRtsEnableAlt = 0x0200,
  kRtsHandshake = 0x1000,
  kRtsToggle = 0x2000,
  kDtrHandshake = 0x8000,
  kLineStartHandshake = 8,  // what a line start-up records: DTR off, RTS off
};

inline constexpr std::size_t kPortNameSize = 12;  // at most 11 characters and the NUL
inline constexpr std::size_t kGateNameFieldSize = 32;
inline constexpr std::size_t kMaxGateName = 31;

// A port's name, line parameters and handshake flags (22 bytes).
struct PortSettings {
  char name[kPortNameSize];
  LineParameters params;
  uint16_t handshake;
};

// The per-line area the host allocates; the driver keeps all of a line's state here.
struct LineWorkArea {
  int32_t reply_timeout;  // ticks (10 ms)
  uint32_t port_handle;   // 0: no port open
  uint32_t in_use;
  PortSettings port;
  char gate_name[kGateNameFieldSize];  // last name given to the gate definition check, upper-cased
  uint8_t unused[10];
  uint32_t post_pause_ms;  // pause at the end of every gate read and write
};

// Passed to QelMain with every command.
struct DriverRequest {
  LineWorkArea* work;
  int32_t command;
  int32_t line;
  int32_t not_read;
  void* arg;  // the command's argument record
};

// Argument record of gate reads and writes (commands 5 and 7). The block transfers (6 and 10)
// read only the name pointer at offset 0.
struct GateTransfer {
  const char* name;
  uint8_t unused1[24];
  int32_t type;
  uint8_t unused2[sizeof(void*) == 4 ? 8 : 4];
  void* value;
};

// Argument record of the gate definition check (command 3).
struct GateDefinition {
  const char* name;
  int32_t value;      // copied into copy once the name's first character is accepted
  int32_t type;       // requested gate type
  int32_t untouched;  // neither read nor written
  int32_t zero1;      // set to 0
  int32_t zero2;      // set to 0
  int32_t copy;       // copy of value
  int32_t max;        // set to 255
  int32_t bits;       // size of the value in bits
};

// The driver's self-description (command 14).
struct DriverInfo {
  int32_t code;            // 70
  const char* short_name;  // "PRV - Landis & Staefa PRV2"
  const char* banner;      // CP437 text, 379 bytes before the NUL
  int32_t work_area_size;  // 80
  int32_t four;            // 4
  LineParameters defaults;  // 9600 baud, 8 data bits, one stop bit, no parity
  int32_t three;           // 3
};

// Argument record of the line start-up (command 1).
struct LineSetup {
  char port_name[kPortNameSize];
  uint32_t in_use;
  int32_t reply_timeout;  // ticks
  LineParameters params;
};

// Argument record of the port update (command 15).
struct PortUpdateRecord {
  char port_name[kPortNameSize];
  int32_t reply_timeout;  // ticks; 0 keeps the current one
  LineParameters params;
};

// Layouts shared by both hosts.
static_assert(sizeof(LineParameters) == 8);
static_assert(sizeof(PortSettings) == 22);
static_assert(offsetof(PortSettings, params) == 12);
static_assert(offsetof(PortSettings, handshake) == 20);
static_assert(sizeof(LineWorkArea) == 80);
static_assert(offsetof(LineWorkArea, reply_timeout) == 0);
static_assert(offsetof(LineWorkArea, port_handle) == 4);
static_assert(offsetof(LineWorkArea, in_use) == 8);
static_assert(offsetof(LineWorkArea, port) == 12);
static_assert(offsetof(LineWorkArea, gate_name) == 34);
static_assert(offsetof(LineWorkArea, unused) == 66);
static_assert(offsetof(LineWorkArea, post_pause_ms) == 76);
static_assert(sizeof(LineSetup) == 28);
static_assert(offsetof(LineSetup, in_use) == 12);
static_assert(offsetof(LineSetup, reply_timeout) == 16);
static_assert(offsetof(LineSetup, params) == 20);
static_assert(sizeof(PortUpdateRecord) == 24);
static_assert(offsetof(PortUpdateRecord, reply_timeout) == 12);
static_assert(offsetof(PortUpdateRecord, params) == 16);

#if UINTPTR_MAX == 0xFFFFFFFFu
// 32-bit host: the documented offsets.
static_assert(sizeof(void*) == 4);
static_assert(offsetof(DriverRequest, work) == 0);
static_assert(offsetof(DriverRequest, command) == 4);
static_assert(offsetof(DriverRequest, line) == 8);
static_assert(offsetof(DriverRequest, not_read) == 12);
static_assert(offsetof(DriverRequest, arg) == 16);
static_assert(sizeof(DriverRequest) == 20);
static_assert(offsetof(GateTransfer, name) == 0);
static_assert(offsetof(GateTransfer, unused1) == 4);
static_assert(offsetof(GateTransfer, type) == 28);
static_assert(offsetof(GateTransfer, unused2) == 32);
static_assert(offsetof(GateTransfer, value) == 40);
static_assert(sizeof(GateTransfer) == 44);
static_assert(offsetof(GateDefinition, name) == 0);
static_assert(offsetof(GateDefinition, value) == 4);
static_assert(offsetof(GateDefinition, type) == 8);
static_assert(offsetof(GateDefinition, untouched) == 12);
static_assert(offsetof(GateDefinition, zero1) == 16);
static_assert(offsetof(GateDefinition, zero2) == 20);
static_assert(offsetof(GateDefinition, copy) == 24);
static_assert(offsetof(GateDefinition, max) == 28);
static_assert(offsetof(GateDefinition, bits) == 32);
static_assert(sizeof(GateDefinition) == 36);
static_assert(offsetof(DriverInfo, code) == 0);
static_assert(offsetof(DriverInfo, short_name) == 4);
static_assert(offsetof(DriverInfo, banner) == 8);
static_assert(offsetof(DriverInfo, work_area_size) == 12);
static_assert(offsetof(DriverInfo, four) == 16);
static_assert(offsetof(DriverInfo, defaults) == 20);
static_assert(offsetof(DriverInfo, three) == 28);
static_assert(sizeof(DriverInfo) == 32);
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
// 64-bit host: pointers widen to 8 bytes, natural alignment.
static_assert(sizeof(void*) == 8);
static_assert(offsetof(DriverRequest, work) == 0);
static_assert(offsetof(DriverRequest, command) == 8);
static_assert(offsetof(DriverRequest, line) == 12);
static_assert(offsetof(DriverRequest, not_read) == 16);
static_assert(offsetof(DriverRequest, arg) == 24);
static_assert(sizeof(DriverRequest) == 32);
static_assert(offsetof(GateTransfer, name) == 0);
static_assert(offsetof(GateTransfer, unused1) == 8);
static_assert(offsetof(GateTransfer, type) == 32);
static_assert(offsetof(GateTransfer, unused2) == 36);
static_assert(offsetof(GateTransfer, value) == 40);
static_assert(sizeof(GateTransfer) == 48);
static_assert(offsetof(GateDefinition, name) == 0);
static_assert(offsetof(GateDefinition, value) == 8);
static_assert(offsetof(GateDefinition, type) == 12);
static_assert(offsetof(GateDefinition, untouched) == 16);
static_assert(offsetof(GateDefinition, zero1) == 20);
static_assert(offsetof(GateDefinition, zero2) == 24);
static_assert(offsetof(GateDefinition, copy) == 28);
static_assert(offsetof(GateDefinition, max) == 32);
static_assert(offsetof(GateDefinition, bits) == 36);
static_assert(sizeof(GateDefinition) == 40);
static_assert(offsetof(DriverInfo, code) == 0);
static_assert(offsetof(DriverInfo, short_name) == 8);
static_assert(offsetof(DriverInfo, banner) == 16);
static_assert(offsetof(DriverInfo, work_area_size) == 24);
static_assert(offsetof(DriverInfo, four) == 28);
static_assert(offsetof(DriverInfo, defaults) == 32);
static_assert(offsetof(DriverInfo, three) == 40);
static_assert(sizeof(DriverInfo) == 48);
#else
#error "unsupported pointer width"
#endif

}  // namespace qel

// The one exported entry point: cdecl, undecorated name "QelMain".
#if defined(_WIN32)
#define QEL_CDECL __cdecl
#define QEL_API
#else
#define QEL_CDECL
#define QEL_API __attribute__((visibility("default")))
#endif

extern "C" QEL_API int QEL_CDECL QelMain(qel::DriverRequest* request);

// What a host resolves from the loaded module.
using QelMainFn = int(QEL_CDECL*)(qel::DriverRequest* request);
