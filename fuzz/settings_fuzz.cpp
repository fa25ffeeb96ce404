// The settings file: arbitrary contents of "QELPRV<nn>.INT" read by the line start-up, in a
// directory of its own.
//
// Invariants: the start-up returns 0 (the line is not in use, so nothing else can fail); the
// trailer timeout ends where the C library's reading of each line with
// "MSG_TRAILER_TIMEOUT = %i" puts it; every log line is one of the documented texts, with the
// right line numbers; the file is closed again; only the documented work area fields change.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "driver/host/records.h"
#include "driver/line/trailer_timeout.h"
#include "fuzz/harness.h"
#include "tests/support/log_capture.h"

namespace qel::fuzz {
namespace {

// The lines as the reader takes them: pieces of at most 255 characters up to and including an
// LF, a CR directly before the LF dropped.
std::vector<std::string> Pieces(const std::string& file) {
  std::vector<std::string> pieces;
  std::string piece;
  for (std::size_t i = 0; i < file.size(); ++i) {
    char c = file[i];
    if (c == '\r' && i + 1 < file.size() && file[i + 1] == '\n') {
      c = '\n';
      ++i;
    }
    piece += c;
    if (c == '\n' || piece.size() == 255) {
      pieces.push_back(piece);
      piece.clear();
    }
  }
  if (!piece.empty()) pieces.push_back(piece);
  return pieces;
}

// What sscanf reads from a line with the key's format. Values that do not
// fit 32 bits are no value for the driver; the C library's answer for them is not compared,
// nor is a bare "0x", where C libraries differ.
struct Match {
  bool number = false;
  bool comparable = true;
  int value = 0;
};
Match ReadKey(const std::string& piece) {
  Match m;
  const std::string text(piece.c_str());  // the C library sees the text up to a NUL
  int value = 0;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "MSG_TRAILER_TIMEOUT = %i%n", &value, &consumed) != 1) return m;
  m.number = true;
  m.value = value;
  std::size_t p = text.find('=') + 1;
  while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p]))) ++p;
  const std::string number = text.substr(p, static_cast<std::size_t>(consumed) - p);
  std::size_t q = (number[0] == '+' || number[0] == '-') ? 1 : 0;
  if (number.size() >= q + 2 && number[q] == '0' &&
      (number[q + 1] == 'x' || number[q + 1] == 'X') && (number.size() == q + 2)) {
    m.comparable = false;
  }
  errno = 0;
  const long long wide = std::strtoll(number.c_str(), nullptr, 0);
  if (errno == ERANGE || wide > INT32_MAX || wide < INT32_MIN) m.comparable = false;
  return m;
}

std::string FileName(int line) {
  char name[32];
  std::snprintf(name, sizeof name, "QELPRV%02d.INT", line);
  return name;
}

}  // namespace
}  // namespace qel::fuzz

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qel::fuzz::EnterScratchDirectory(argc, argv, "settings");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using namespace qel;
  using namespace qel::fuzz;
  if (size == 0) return 0;
  const int line = static_cast<int>(bytes[0] % 100);
  const std::string contents(reinterpret_cast<const char*>(bytes + 1), size - 1);
  const std::string name = FileName(line);
  if (std::FILE* f = std::fopen(name.c_str(), "wb")) {
    std::fwrite(contents.data(), 1, contents.size(), f);
    std::fclose(f);
  } else {
    std::abort();
  }

  // The expected trailer timeout and log lines.
  std::optional<int32_t> expected = kDefaultTrailerTimeout;
  std::vector<std::string> lines;
  bool exact_log = true;  // false once a line's value is not compared
  const std::vector<std::string> pieces = Pieces(contents);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const int number = static_cast<int>(i + 1);
    const Match m = ReadKey(pieces[i]);
    if (m.number && !m.comparable) {
      expected.reset();
      exact_log = false;
      continue;
    }
    if (m.number && m.value >= 100) {
      lines.push_back("QelPRV: MSG_TRAILER_TIMEOUT = " + std::to_string(m.value));
      expected = m.value / 10;
    } else if (m.number) {
      lines.push_back("QelPRV: Illegal line " + std::to_string(number) + " in Int File");
      lines.push_back(
          "QelPRV: Check for MSG_TRAILER_TIMEOUT = in your int file. Assuming "
          "MSG_TRAILER_TIMEOUT = 100");
      expected = 10;
    } else if (pieces[i][0] != '\n') {
      lines.push_back("QELPRV> Illegal line " + std::to_string(number) + " in Int File");
    }
  }

  LineWorkArea work;
  std::memset(&work, 0x5A, sizeof work);
  const LineWorkArea before = work;
  LineSetup setup{};
  setup.in_use = 0;
  DriverRequest request{&work, kCmdLineStart, line, 0, &setup};
  SetTrailerTimeout(12345);
  test::ClearLog();
  const int probe_before = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ::close(probe_before);

  const int result = QelMain(&request);

  QEL_FUZZ_CHECK(result == kOk, result);
  const int probe_after = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ::close(probe_after);
  QEL_FUZZ_CHECK(probe_after == probe_before, probe_before, probe_after);  // the file is closed
  const int32_t trailer = CurrentTrailerTimeout();
  QEL_FUZZ_CHECK(trailer >= 10 && trailer <= INT32_MAX / 10, trailer);
  if (expected) QEL_FUZZ_CHECK(trailer == *expected, trailer, *expected);

  // The work area: the pause and the in-use flag, nothing else.
  QEL_FUZZ_CHECK(work.in_use == 0 && work.post_pause_ms == 0);
  QEL_FUZZ_CHECK(OnlyChanged(
      std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(&before),
                           reinterpret_cast<const uint8_t*>(&before + 1)),
      reinterpret_cast<const uint8_t*>(&work),
      {Range{offsetof(LineWorkArea, in_use), 4}, Range{offsetof(LineWorkArea, post_pause_ms), 4}}));

  // The log: the build line first, then exactly the lines of the file.
  const std::vector<std::string> logged = test::LoggedTexts();
  QEL_FUZZ_CHECK(!logged.empty() && logged[0].rfind("QELPRV> version compiled on ", 0) == 0);
  if (!exact_log) {
    std::remove(name.c_str());
    test::ClearLog();
    return 0;
  }
  QEL_FUZZ_CHECK(logged.size() == lines.size() + 1, static_cast<long long>(logged.size()),
                 static_cast<long long>(lines.size() + 1));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (logged[i + 1] != lines[i]) {
      std::fprintf(stderr, "line %zu: logged \"%s\", expected \"%s\"\n", i + 1,
                   logged[i + 1].c_str(), lines[i].c_str());
      std::abort();
    }
  }
  std::remove(name.c_str());
  test::ClearLog();
  return 0;
}
