// 7. Verify: `QuillMar.exe /verify` on an intact install of a member
// release, hot cache, in interleaved rounds with `openssl dgst -sha256`
// over the same files: throughput (the release's bytes over the wall time
// of the whole run, manifest and indexes included) and time against
// openssl, medians. Then one installed file gets a flipped byte (its
// modification time put back, so only hashing finds it) and another is
// deleted: a verify must fetch only their members and restore both.
#pragma once

#include "bench/update/member_bench.h"
#include "bench/update/member_releases.h"
#include "bench/update/updater_run.h"

namespace qm::bench {

struct VerifyPlan {
  int rounds = 5;
  // Off for small releases, where starting the launcher and fetching the
  // manifest outweigh the hashing.
  bool judge_speed = true;
};

// True when every verify ran as asked (nothing but the manifest and the
// indexes fetched from an intact install, the game not started), within
// the targets when judged (at least 0.5 GB/s, at most 1.2 x openssl's
// time), and the repair restored both files. A launcher that does not know
// /verify starts the game instead and fails the part; every run is bounded.
bool VerifyInstall(const Work& work,
                   const MemberReleases& releases,
                   const IntactInstall& install,
                   const VerifyPlan& plan);

}  // namespace qm::bench
