// SHA-256 throughput of the platform's backend: 256 MiB in memory, hashed
// in the 64 KiB pieces that a download hands over, best of five runs. Two
// figures: per second of processor time, as `openssl speed -seconds 3 sha256`
// divides (its 16384-byte column), and per second of wall-clock time, as
// `openssl speed -elapsed` does; on a busy machine only the first compares.
// Figures: README.md.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/sha256.h"
#include "util/hex.h"

namespace {

// Processor time of this process in seconds. The Windows C runtime's
// clock() counts wall-clock time, so Windows asks the kernel instead.
double ProcessorSeconds() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
    return 0;
  const auto ticks = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) / 1e7;  // 100 ns units
#else
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
#endif
}

}  // namespace

int main() {
  constexpr size_t kTotal = size_t{256} << 20;
  constexpr size_t kPiece = size_t{64} << 10;
  std::string data(kTotal, '\0');
  std::mt19937_64 random(42);
  for (size_t i = 0; i + 8 <= data.size(); i += 8) {
    const uint64_t word = random();
    std::copy_n(reinterpret_cast<const char*>(&word), 8, data.data() + i);
  }
  double best_cpu = 0;
  double best_wall = 0;
  std::string digest;
  for (int run = 0; run < 5; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = ProcessorSeconds();
    qm::platform::Sha256 hash;
    for (size_t at = 0; at < data.size(); at += kPiece) {
      hash.Update(data.data() + at, kPiece);
    }
    digest = qm::HexOf(hash.Final());
    const double cpu_seconds = ProcessorSeconds() - cpu_start;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    best_cpu = std::max(best_cpu, static_cast<double>(kTotal) / 1e6 / cpu_seconds);
    best_wall = std::max(best_wall, static_cast<double>(kTotal) / 1e6 / wall.count());
  }
  std::printf(
      "platform SHA-256: %.0f MB/s of processor time, %.0f MB/s of wall-clock time\n"
      "(256 MiB in 64 KiB pieces, best of 5; digest %s...)\n",
      best_cpu, best_wall, digest.substr(0, 16).c_str());
  return 0;
}
