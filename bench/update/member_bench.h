// 6. Member-level update: two game folders hold release 1 of the member
// releases, one installed by the launcher reading the manifest with section
// H (it can fetch single members by their ranges, as the indexes give
// them), one by the same launcher reading it without section H (today's
// whole-archive update); then each is updated to the other release in
// interleaved rounds, the rounds going 1 -> 2, 2 -> 1, and so on (the same
// hundredth of the files changes each time). Bytes on the wire from nginx's
// log against the changed members' compressed bytes and the indexes, and the
// time against the whole-archive update, medians.
#pragma once

#include <filesystem>

#include "bench/update/member_releases.h"
#include "bench/update/updater_run.h"

namespace qm::bench {

struct MemberPlan {
  int rounds = 5;
  int sample_every = 20;  // as for CheckUpdaterInstall; changed files always
  // Off for small releases, whose times say little.
  bool judge_time = true;
};

// An intact install that part 7 can verify: the game folder and the
// release (0 or 1) it holds; an empty folder when there is none.
struct IntactInstall {
  std::filesystem::path game;
  int release = 0;
};

// True when every update completed, checked, the member-level one with at
// most 1.1 x the expected bytes on the wire and, when judged, in less time
// than the whole-archive one (medians). A launcher without member-level
// updates fetches whole archives and fails the part; every run is bounded.
bool MemberUpdates(const Work& work,
                   const MemberReleases& releases,
                   const MemberPlan& plan,
                   IntactInstall* intact);

}  // namespace qm::bench
