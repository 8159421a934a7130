// POSIX only: descriptors watched by the message loop. Readiness is reported
// from ProcessMessages on the loop's thread, so socket and terminal events
// interleave with posted messages exactly as window messages do on Win32.
#pragma once

#include <functional>

namespace qm::platform::posix {

inline constexpr unsigned kFdReadable = 1;
inline constexpr unsigned kFdWritable = 2;

// events is what the callback receives: kFdReadable/kFdWritable, or both on
// error or hang-up so that the owner's next read or write sees it.
using FdCallback = std::function<void(int fd, unsigned events)>;

// Readiness is looked at again right before each callback, so a callback is
// not run for readiness that an earlier handler already consumed.
// Starts or changes watching fd for the given events (0 pauses it).
void WatchFd(int fd, unsigned events, FdCallback callback);
// Stops watching; a callback already collected but not yet run is dropped.
void UnwatchFd(int fd);

}  // namespace qm::platform::posix
