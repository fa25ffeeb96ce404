#include "driver/host/entry.h"

#include "driver/gate/define.h"
#include "driver/gate/transfer.h"
#include "driver/host/description.h"
#include "driver/line/commands.h"

namespace qel {

int32_t RefuseAtOnce(DriverRequest*) { return kRefused; }

const Handler CommandTable[kCommandSlots] = {
    nullptr,       // 0
    LineStart,     // 1
    LineFlush,     // 2
    GateDefine,    // 3
    RefuseAtOnce,  // 4
    SingleRead,    // 5
    BlockRead,     // 6
    SingleWrite,   // 7
    nullptr,       // 8
    nullptr,       // 9
    BlockWrite,    // 10
    LineStop,      // 11
    PortClose,     // 12
    PortOpen,      // 13
    DescribeDriver,  // 14
    PortUpdate,    // 15
};

}  // namespace qel

// Reads the command code, calls the handler in that slot and returns its result unchanged.
// A code without a handler, or no request at all, is refused.
extern "C" QEL_API int QEL_CDECL QelMain(qel::DriverRequest* request) {
  if (request == nullptr) return qel::kRefused;
  const int32_t code = request->command;
  if (code < 0 || code >= qel::kCommandSlots) return qel::kRefused;
  const qel::Handler handler = qel::CommandTable[code];
  if (handler == nullptr) return qel::kRefused;
  return handler(request);
}
