#include "driver/gate/define.h"

#include <cstring>

namespace qel {

int32_t GateDefine(DriverRequest* request) {
  if (request == nullptr || request->arg == nullptr) return kRefused;
  auto* definition = static_cast<GateDefinition*>(request->arg);

  // Every definition gets these, refused or not.
  definition->max = 255;
  definition->bits = 16;
  definition->zero1 = 0;
  definition->zero2 = 0;

  LineWorkArea* work = request->work;
  if (work == nullptr || definition->name == nullptr) return kRefused;
  // A name of 32 or more characters does not fit the field with its zero byte: refused, with the
  // field left as it was, and nothing is read past the name's 32nd byte.
  const std::size_t length = strnlen(definition->name, kGateNameFieldSize);
  if (length >= kGateNameFieldSize) return kRefused;

  char* field = work->gate_name;
  std::memset(field, 0, kGateNameFieldSize);
  for (std::size_t i = 0; i < length; ++i) field[i] = UpperCaseByte(definition->name[i]);

  if (field[0] != '$' && field[0] != '@') return kRefused;
  definition->copy = definition->value;
  switch (definition->type) {
    case kTypeFloat:
      definition->bits = 32;
      return kOk;
    case kTypeWord:
      definition->bits = 16;
      return kOk;
    default:
      return kRefused;
  }
}

}  // namespace qel
