#include "driver/platform/platform.h"

#include <atomic>

namespace qel::platform {

namespace {
std::atomic<const Ops*> g_override{nullptr};
}  // namespace

const Ops& Current() {
  const Ops* ops = g_override.load(std::memory_order_acquire);
  return ops != nullptr ? *ops : Native();
}

void SetOverride(const Ops* ops) { g_override.store(ops, std::memory_order_release); }

}  // namespace qel::platform
