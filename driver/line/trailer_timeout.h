// The process-wide trailer timeout, in ticks (10 ms).
//
// Every line start-up writes it; the trailer phase of the reply reader and the input drain of
// every line read it, possibly on other threads.
#pragma once

#include <atomic>
#include <cstdint>

namespace qel {

inline constexpr int32_t kDefaultTrailerTimeout = 10;

extern std::atomic<int32_t> TrailerTimeout;

inline int32_t CurrentTrailerTimeout() {
  return TrailerTimeout.load(std::memory_order_relaxed);
}
inline void SetTrailerTimeout(int32_t ticks) {
  TrailerTimeout.store(ticks, std::memory_order_relaxed);
}

}  // namespace qel
