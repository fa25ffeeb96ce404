// The Win32 back-end: the real serial and file functions.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "driver/platform/platform.h"

namespace qel::platform {

namespace {

// The module is a 32-bit DLL: a Win32 handle fits the 32-bit handle field of the work area.
static_assert(sizeof(HANDLE) == sizeof(Handle));

HANDLE ToWin(Handle h) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h));
}

// "COM10" and above open only as "\\.\COM10"; lower numbers and other names go unchanged.
bool IsHighComPort(const char* name) {
  if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return false;
  const char* p = name + 3;
  if (*p == '\0') return false;
  unsigned value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    if (value < 1000) value = value * 10 + static_cast<unsigned>(*p - '0');
  }
  return value >= 10;
}

Handle Open(const char* name) {
  char path[32];
  const char* target = name;
  if (IsHighComPort(name) && std::strlen(name) < sizeof path - 4) {
    std::snprintf(path, sizeof path, "\\\\.\\%s", name);
    target = path;
  }
  HANDLE h = CreateFileA(target, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return kInvalidHandle;
  return static_cast<Handle>(reinterpret_cast<uintptr_t>(h));
}

void FromWin(const DCB& w, Dcb* d) {
  d->DCBlength = w.DCBlength;
  d->BaudRate = w.BaudRate;
  d->fBinary = w.fBinary;
  d->fParity = w.fParity;
  d->fOutxCtsFlow = w.fOutxCtsFlow;
  d->fOutxDsrFlow = w.fOutxDsrFlow;
  d->fDtrControl = w.fDtrControl;
  d->fDsrSensitivity = w.fDsrSensitivity;
  d->fTXContinueOnXoff = w.fTXContinueOnXoff;
  d->fOutX = w.fOutX;
  d->fInX = w.fInX;
  d->fErrorChar = w.fErrorChar;
  d->fNull = w.fNull;
  d->fRtsControl = w.fRtsControl;
  d->fAbortOnError = w.fAbortOnError;
  d->fDummy2 = w.fDummy2;
  d->wReserved = w.wReserved;
  d->XonLim = w.XonLim;
  d->XoffLim = w.XoffLim;
  d->ByteSize = w.ByteSize;
  d->Parity = w.Parity;
  d->StopBits = w.StopBits;
  d->XonChar = w.XonChar;
  d->XoffChar = w.XoffChar;
  d->ErrorChar = w.ErrorChar;
  d->EofChar = w.EofChar;
  d->EvtChar = w.EvtChar;
  d->wReserved1 = w.wReserved1;
}

void ToWinDcb(const Dcb& d, DCB* w) {
  w->DCBlength = d.DCBlength;
  w->BaudRate = d.BaudRate;
  w->fBinary = d.fBinary;
  w->fParity = d.fParity;
  w->fOutxCtsFlow = d.fOutxCtsFlow;
  w->fOutxDsrFlow = d.fOutxDsrFlow;
  w->fDtrControl = d.fDtrControl;
  w->fDsrSensitivity = d.fDsrSensitivity;
  w->fTXContinueOnXoff = d.fTXContinueOnXoff;
  w->fOutX = d.fOutX;
  w->fInX = d.fInX;
  w->fErrorChar = d.fErrorChar;
  w->fNull = d.fNull;
  w->fRtsControl = d.fRtsControl;
  w->fAbortOnError = d.fAbortOnError;
  w->fDummy2 = d.fDummy2;
  w->wReserved = d.wReserved;
  w->XonLim = d.XonLim;
  w->XoffLim = d.XoffLim;
  w->ByteSize = d.ByteSize;
  w->Parity = d.Parity;
  w->StopBits = d.StopBits;
  w->XonChar = d.XonChar;
  w->XoffChar = d.XoffChar;
  w->ErrorChar = d.ErrorChar;
  w->EofChar = d.EofChar;
  w->EvtChar = d.EvtChar;
  w->wReserved1 = d.wReserved1;
}

bool GetState(Handle h, Dcb* dcb) {
  if (h == 0) return false;
  static_assert(sizeof(DCB) == sizeof(Dcb));
  DCB w{};
  w.DCBlength = dcb->DCBlength;  // the caller's, 28
  if (!GetCommState(ToWin(h), &w)) return false;
  FromWin(w, dcb);
  return true;
}

bool SetState(Handle h, const Dcb* dcb) {
  if (h == 0) return false;
  DCB w{};
  ToWinDcb(*dcb, &w);
  return SetCommState(ToWin(h), &w) != FALSE;
}

// A total read timeout of 0 or less (taken as signed milliseconds) returns at once with what is
// waiting: Windows says so with the MAXDWORD interval, since a constant of 0 would wait forever.
// Such a timeout reads back as 0 ms.
bool ReturnsAtOnce(uint32_t total_ms) {
  return static_cast<int32_t>(total_ms) <= 0;
}

bool GetTimeouts(Handle h, CommTimeouts* t) {
  if (h == 0) return false;
  COMMTIMEOUTS w{};
  if (!GetCommTimeouts(ToWin(h), &w)) return false;
  if (w.ReadIntervalTimeout == MAXDWORD && w.ReadTotalTimeoutMultiplier == 0 &&
      w.ReadTotalTimeoutConstant == 0) {
    w.ReadIntervalTimeout = 0;
  }
  *t = CommTimeouts{w.ReadIntervalTimeout, w.ReadTotalTimeoutMultiplier, w.ReadTotalTimeoutConstant,
                    w.WriteTotalTimeoutMultiplier, w.WriteTotalTimeoutConstant};
  return true;
}

bool SetTimeouts(Handle h, const CommTimeouts* t) {
  if (h == 0) return false;
  COMMTIMEOUTS w{t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier, t->ReadTotalTimeoutConstant,
                 t->WriteTotalTimeoutMultiplier, t->WriteTotalTimeoutConstant};
  if (w.ReadIntervalTimeout == 0 && w.ReadTotalTimeoutMultiplier == 0 &&
      ReturnsAtOnce(w.ReadTotalTimeoutConstant)) {
    w.ReadIntervalTimeout = MAXDWORD;
    w.ReadTotalTimeoutConstant = 0;
  }
  return SetCommTimeouts(ToWin(h), &w) != FALSE;
}

bool SetupQueues(Handle h, uint32_t in_queue, uint32_t out_queue) {
  if (h == 0) return false;
  return SetupComm(ToWin(h), in_queue, out_queue) != FALSE;
}

bool Read(Handle h, void* buf, uint32_t n, uint32_t* got) {
  *got = 0;
  if (h == 0) return false;
  DWORD count = 0;
  if (!ReadFile(ToWin(h), buf, n, &count, nullptr)) return false;
  *got = count;
  return true;
}

bool Write(Handle h, const void* buf, uint32_t n, uint32_t* written) {
  *written = 0;
  if (h == 0) return false;
  DWORD count = 0;
  if (!WriteFile(ToWin(h), buf, n, &count, nullptr)) return false;
  *written = count;
  return true;
}

bool Close(Handle h) {
  if (h == 0) return false;
  return CloseHandle(ToWin(h)) != FALSE;
}

void Pause(uint32_t ms) {
  Sleep(ms);
}

bool PurgeInput(Handle h) {
  if (h == 0) return false;
  return PurgeComm(ToWin(h), PURGE_RXCLEAR) != FALSE;
}

constexpr Ops kWin32{Open,        GetState, SetState, GetTimeouts, SetTimeouts,
                     SetupQueues, Read,     Write,    Close,       Pause, PurgeInput};

}  // namespace

const Ops& Native() {
  return kWin32;
}

}  // namespace qel::platform
