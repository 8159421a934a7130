// 5. A release of one big archive: the launcher is killed (SIGKILL) once its
// partial download in the game folder's Temp holds kill_fraction of the
// archive, then started again; the bytes the second start fetched, counted
// by a fault server that passes every answer, against the archive's size.
#pragma once

#include "bench/update/release.h"
#include "bench/update/updater_run.h"

namespace qm::bench {

struct RestartPlan {
  double kill_fraction = 0.9;
  int sample_every = 1;  // as for CheckUpdaterInstall
};

// True when the second start installed the release, checked, having
// fetched at most 0.12 x the archive. Bounded in time: a first start that
// is never seen at kill_fraction fails the part.
bool KillAndRestart(const Work& work, const Release& release, const RestartPlan& plan);

}  // namespace qm::bench
