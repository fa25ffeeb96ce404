// The driver's self-description (command 14).
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/host/records.h"

namespace qel {

inline constexpr std::size_t kBannerLength = 379;  // bytes before the NUL

extern const char kShortName[];
// The banner text, NUL-terminated; the same pointer on every call.
const char* Banner();

// Fills the DriverInfo record at offset 16 of the request with constant values; reads nothing
// else. A request without a record is refused.
int32_t DescribeDriver(DriverRequest* request);

}  // namespace qel
