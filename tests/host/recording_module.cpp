// A stand-in driver module for qelhost's tests: it exports QelMain only and writes every
// request, with the argument record that the host passed, to the file named by QEL_RECORD, one
// line each. It answers like the driver where qelhost needs an answer (definition checks,
// reads, the description) and logs nothing.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/host/records.h"

namespace {

void Record(const char* format, ...) __attribute__((format(printf, 1, 2)));

void Record(const char* format, ...) {
  const char* path = std::getenv("QEL_RECORD");
  if (path == nullptr) return;
  std::FILE* f = std::fopen(path, "a");
  if (f == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(f, format, args);
  va_end(args);
  std::fputc('\n', f);
  std::fclose(f);
}

bool Zeroed(const void* p, std::size_t n) {
  const auto* bytes = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

}  // namespace

extern "C" QEL_API int QEL_CDECL QelMain(qel::DriverRequest* r) {
  qel::LineWorkArea* work = r->work;
  switch (r->command) {
    case qel::kCmdLineStart: {
      const auto* s = static_cast<const qel::LineSetup*>(r->arg);
      Record(
          "start line=%d work=%s port=%s in_use=%u timeout=%d baud=%u data=%u stop=%u "
          "parity=%u",
          static_cast<int>(r->line), Zeroed(work, sizeof *work) ? "zeroed" : "used", s->port_name,
          static_cast<unsigned>(s->in_use), static_cast<int>(s->reply_timeout), s->params.baud,
          s->params.data_bits, s->params.stop_bits, s->params.parity);
      work->port_handle = 7;  // as if the port had opened
      return qel::kOk;
    }
    case qel::kCmdGateDefine: {
      auto* d = static_cast<qel::GateDefinition*>(r->arg);
      Record("define line=%d name=%s type=%d value=%d", static_cast<int>(r->line), d->name,
             static_cast<int>(d->type), static_cast<int>(d->value));
      d->bits = 32;
      return qel::kOk;
    }
    case qel::kCmdSingleRead:
    case qel::kCmdSingleWrite: {
      auto* t = static_cast<qel::GateTransfer*>(r->arg);
      auto* v = static_cast<unsigned char*>(t->value);
      float f = 0;
      std::memcpy(&f, v, sizeof f);
      Record("%s line=%d handle=%u name=%s type=%d bytes=%02x%02x%02x%02x float=%g",
             r->command == qel::kCmdSingleRead ? "read" : "write", static_cast<int>(r->line),
             static_cast<unsigned>(work->port_handle), t->name, static_cast<int>(t->type), v[0],
             v[1], v[2], v[3], static_cast<double>(f));
      if (r->command == qel::kCmdSingleRead) {
        // A word of 0x1234 in bytes 2..3, or the float 1.5.
        if (t->type == qel::kTypeWord) {
          v[2] = 0x34;
          v[3] = 0x12;
        } else {
          const float value = 1.5f;
          std::memcpy(v, &value, sizeof value);
        }
      }
      return qel::kOk;
    }
    case qel::kCmdLineStop:
      Record("stop line=%d handle=%u", static_cast<int>(r->line),
             static_cast<unsigned>(work->port_handle));
      work->port_handle = 0;
      return qel::kOk;
    default:
      Record("command %d", static_cast<int>(r->command));
      return qel::kRefused;
  }
}
