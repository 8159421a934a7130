// Local date and time <-> seconds since the epoch.
#pragma once

#include <time.h>

#include "platform/file_system.h"

namespace qm::platform::posix {

time_t LocalToEpoch(const LocalDateTime& time);
LocalDateTime EpochToLocal(time_t seconds);

}  // namespace qm::platform::posix
