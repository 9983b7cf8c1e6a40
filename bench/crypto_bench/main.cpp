#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

#include "bench/crypto_bench/bench_line.h"

namespace zor::bench {

namespace {

std::vector<std::pair<int, Group>> &groups() {
  static std::vector<std::pair<int, Group>> g;
  return g;
}

// MB/s of op over a buffer of `bytes`, or a negative value when it fails.
// Runs for at least a quarter of a second after one warm-up call.
double measure(const Operation &op, size_t bytes) {
  std::vector<uint8_t> buf(bytes);
  for (size_t i = 0; i < bytes; ++i) buf[i] = uint8_t(i * 31 + 7);
  if (!op(buf.data(), bytes)) return -1;
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  const auto min_time = std::chrono::milliseconds(250);
  size_t runs = 0;
  do {
    for (int i = 0; i < 16; ++i)
      if (!op(buf.data(), bytes)) return -1;
    runs += 16;
  } while (clock::now() - start < min_time);
  const double seconds = std::chrono::duration<double>(clock::now() - start).count();
  return double(bytes) * double(runs) / seconds / 1e6;
}

}  // namespace

GroupRegistration::GroupRegistration(int rank, Group group) {
  groups().emplace_back(rank, group);
}

void bench_line(const char *algorithm, size_t bytes, const Operation &ours,
                const Operation &engine) {
  const double mine = measure(ours, bytes);
  const double theirs = engine ? measure(engine, bytes) : -1;
  std::printf("%s %zu ours %.1f engine ", algorithm, bytes, mine);
  if (theirs > 0)
    std::printf("%.1f ratio %.2f\n", theirs, mine / theirs);
  else
    std::printf("- ratio -\n");
  std::fflush(stdout);
}

}  // namespace zor::bench

int main() {
  auto &g = zor::bench::groups();
  std::stable_sort(g.begin(), g.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });
  for (const auto &entry : g) entry.second();
  return 0;
}
