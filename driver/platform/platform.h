// The one seam through which the driver reaches the operating system.
//
// The operations are shaped like the Win32 calls the serial library needs, so the library reads
// the same on every platform. A back-end (Win32, POSIX termios, or the scripted fake of the tests)
// fills one table of them.
#pragma once

#include <cstdint>

namespace qel::platform {

// A port handle: 32 bits, never 0 for an open port.
using Handle = uint32_t;
inline constexpr Handle kInvalidHandle = 0xFFFFFFFFu;  // what a failed open yields

// Line settings, the members of the Win32 DCB in their order and widths.
struct Dcb {
  uint32_t DCBlength;
  uint32_t BaudRate;
  uint32_t fBinary : 1;
  uint32_t fParity : 1;
  uint32_t fOutxCtsFlow : 1;
  uint32_t fOutxDsrFlow : 1;
  uint32_t fDtrControl : 2;
  uint32_t fDsrSensitivity : 1;
  uint32_t fTXContinueOnXoff : 1;
  uint32_t fOutX : 1;
  uint32_t fInX : 1;
  uint32_t fErrorChar : 1;
  uint32_t fNull : 1;
  uint32_t fRtsControl : 2;
  uint32_t fAbortOnError : 1;
  uint32_t fDummy2 : 17;
  uint16_t wReserved;
  uint16_t XonLim;
  uint16_t XoffLim;
  uint8_t ByteSize;
  uint8_t Parity;
  uint8_t StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  uint16_t wReserved1;
};
static_assert(sizeof(Dcb) == 28);

// Read and write timeouts in milliseconds, the members of the Win32 COMMTIMEOUTS.
struct CommTimeouts {
  uint32_t ReadIntervalTimeout;
  uint32_t ReadTotalTimeoutMultiplier;
  uint32_t ReadTotalTimeoutConstant;
  uint32_t WriteTotalTimeoutMultiplier;
  uint32_t WriteTotalTimeoutConstant;
};

// DCB member values.
inline constexpr uint32_t kDtrControlDisable = 0;
inline constexpr uint32_t kDtrControlEnable = 1;
inline constexpr uint32_t kDtrControlHandshake = 2;
inline constexpr uint32_t kRtsControlDisable = 0;
inline constexpr uint32_t kRtsControlEnable = 1;
inline constexpr uint32_t kRtsControlHandshake = 2;
inline constexpr uint32_t kRtsControlToggle = 3;
inline constexpr uint8_t kNoParity = 0;
inline constexpr uint8_t kOddParity = 1;
inline constexpr uint8_t kEvenParity = 2;
inline constexpr uint8_t kMarkParity = 3;
inline constexpr uint8_t kSpaceParity = 4;
inline constexpr uint8_t kOneStopBit = 0;
inline constexpr uint8_t kOne5StopBits = 1;
inline constexpr uint8_t kTwoStopBits = 2;

struct Ops {
  // Opens an existing device by name for reading and writing, for exclusive use.
  // Returns kInvalidHandle when it does not exist or is open already.
  Handle (*open)(const char* name);
  // Reads the line settings; fails for a device without any (no serial port).
  bool (*get_comm_state)(Handle h, Dcb* dcb);
  // Applies line settings; fails when the port cannot run with them.
  bool (*set_comm_state)(Handle h, const Dcb* dcb);
  bool (*get_comm_timeouts)(Handle h, CommTimeouts* t);
  bool (*set_comm_timeouts)(Handle h, const CommTimeouts* t);
  // Input and output queue sizes; callers ignore the result.
  bool (*setup_comm)(Handle h, uint32_t in_queue, uint32_t out_queue);
  // Reads up to n bytes. Returns when n bytes arrived or the total read timeout has passed since
  // the read began, with what arrived (possibly nothing: true and *got == 0). A total timeout of
  // 0 returns at once with what is waiting. False on a device error or hang-up.
  bool (*read)(Handle h, void* buf, uint32_t n, uint32_t* got);
  // Writes n bytes, blocking until the port has taken them; reports the count written.
  bool (*write)(Handle h, const void* buf, uint32_t n, uint32_t* written);
  bool (*close)(Handle h);
  // Pauses the calling thread.
  void (*sleep)(uint32_t ms);
  // Throws away the input that has arrived and not been read, without waiting (PurgeComm with
  // PURGE_RXCLEAR).
  bool (*purge_input)(Handle h);
};

// The back-end compiled for this target (Win32 or POSIX).
const Ops& Native();

// The table the driver uses: the override when one is set, else Native().
const Ops& Current();

// Replaces the table (tests only); nullptr goes back to Native().
void SetOverride(const Ops* ops);

}  // namespace qel::platform
