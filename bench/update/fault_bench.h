// 4. A fresh install of a release through the fault server, once with every
// answer passed and once with every answer cut after cut_every body bytes,
// in interleaved rounds: bytes on the wire against the archives' bytes, and
// the time against the fault-free install through the same server. A third
// install per round, cut as well but with RetryDelay=0, shows how much of
// the faulted time is the waits before retries (default 1 s, doubled).
#pragma once

#include <cstdint>

#include "bench/update/release.h"
#include "bench/update/updater_run.h"

namespace qm::bench {

struct FaultPlan {
  int rounds = 5;
  uint64_t cut_every = 20'000'000;
  int sample_every = 20;  // as for CheckUpdaterInstall
  // Off for small releases, whose times say little.
  bool judge_time = true;
};

// True when every install completed, checked, within the targets (at most
// 1.05 x the archives' bytes on the wire, at most 1.2 x the fault-free time
// when judged, both medians). A faulted run gets a bounded time; a launcher that does not
// resume fails the part instead of hanging.
bool FaultedInstalls(const Work& work, const Release& release, const FaultPlan& plan);

}  // namespace qm::bench
