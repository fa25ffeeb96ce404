#include "driver/line/settings.h"

#include <cstdio>
#include <cstring>

#include "driver/host/log.h"
#include "driver/line/trailer_timeout.h"

namespace qel {

std::atomic<int32_t> TrailerTimeout{kDefaultTrailerTimeout};

namespace {

constexpr int kPieceSize = 255;  // characters per read, the LF included
constexpr char kKey[] = "MSG_TRAILER_TIMEOUT";
constexpr int32_t kMinimumMs = 100;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// Reads one piece of at most 255 characters, up to and including its LF. A CR directly before
// the LF is not part of the line. False at the end of the file or on a read error.
bool ReadPiece(std::FILE* file, char (&piece)[kPieceSize + 1]) {
  int n = 0;
  while (n < kPieceSize) {
    int c = std::getc(file);
    if (c == EOF) break;
    if (c == '\r') {
      const int next = std::getc(file);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        std::ungetc(next, file);
      }
    }
    piece[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  piece[n] = '\0';
  return n > 0;
}

}  // namespace

bool MatchTrailerTimeoutLine(const char* line, int32_t* value) {
  const std::size_t key_length = sizeof(kKey) - 1;
  if (std::strncmp(line, kKey, key_length) != 0) return false;
  const char* p = line + key_length;
  while (IsSpace(*p)) ++p;
  if (*p != '=') return false;
  ++p;
  while (IsSpace(*p)) ++p;

  // An integer as %i reads it: a sign, then hexadecimal after 0x, octal after 0, else decimal.
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2]) < 16) {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;
  }
  if (DigitValue(*p) >= base) return false;
  // The magnitude may reach 2^31 for a negative value; beyond the 32-bit range it is no value.
  const uint64_t limit = negative ? 0x80000000ull : 0x7FFFFFFFull;
  uint64_t magnitude = 0;
  for (; DigitValue(*p) < base; ++p) {
    magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(DigitValue(*p));
    if (magnitude > limit) return false;
  }
  *value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                    : static_cast<int32_t>(magnitude);
  return true;
}

void ReadLineSettings(const DriverRequest* request) {
  SetTrailerTimeout(kDefaultTrailerTimeout);

  // The name holds at most 15 characters: line numbers from -9999 to 99999.
  const int32_t line = request->line;
  std::FILE* file = nullptr;
  if (line >= -9999 && line <= 99999) {
    char name[16];
    std::snprintf(name, sizeof name, "QEL%s%02d.INT", "PRV", static_cast<int>(line));
    file = std::fopen(name, "rb");
  }
  if (file == nullptr) {
    err(kLogNotice, "QelPRV : Init File QELPRV.INT not found !");
    return;
  }

  char piece[kPieceSize + 1];
  int number = 0;
  while (ReadPiece(file, piece)) {
    ++number;
    int32_t value = 0;
    if (MatchTrailerTimeoutLine(piece, &value)) {
      if (value >= kMinimumMs) {
        err(kLogNotice, "QelPRV: MSG_TRAILER_TIMEOUT = %i", static_cast<int>(value));
        SetTrailerTimeout(value / 10);
      } else {
        err(kLogNotice, "QelPRV: Illegal line %d in Int File", number);
        err(kLogNotice,
            "QelPRV: Check for MSG_TRAILER_TIMEOUT = in your int file. Assuming "
            "MSG_TRAILER_TIMEOUT = 100");
        SetTrailerTimeout(kMinimumMs / 10);
      }
    } else if (piece[0] != '\n') {
      err(kLogNotice, "QELPRV> Illegal line %d in Int File", number);
    }
  }
  std::fclose(file);
}

}  // namespace qel
