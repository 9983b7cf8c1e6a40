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
double measure(const Operation &op, size_t bytes) {
  std::vector<uint8_t> buf(bytes);
  for (size_t i = 0; i < bytes; ++i) buf[i] = uint8_t(i * 31 + 7);
  const double runs = runs_per_second([&] { return op(buf.data(), bytes); });
  return runs < 0 ? runs : double(bytes) * runs / 1e6;
}

}  // namespace

GroupRegistration::GroupRegistration(int rank, Group group) {
  groups().emplace_back(rank, group);
}

double runs_per_second(const std::function<bool()> &run) {
  if (!run()) return -1;
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  size_t runs = 0;
  do {
    for (int i = 0; i < 16; ++i)
      if (!run()) return -1;
    runs += 16;
  } while (clock::now() - start < std::chrono::milliseconds(250));
  return double(runs) / std::chrono::duration<double>(clock::now() - start).count();
}

void print_line(const char *label, double ours, double engine, int decimals) {
  std::printf("%s ours %.*f engine ", label, decimals, ours);
  if (engine > 0)
    std::printf("%.*f ratio %.2f\n", decimals, engine, ours / engine);
  else
    std::printf("- ratio -\n");
  std::fflush(stdout);
}

void bench_line(const char *algorithm, size_t bytes, const Operation &ours,
                const Operation &engine) {
  char label[128];
  std::snprintf(label, sizeof label, "%s %zu", algorithm, bytes);
  print_line(label, measure(ours, bytes), engine ? measure(engine, bytes) : -1, 1);
}

}  // namespace zor::bench

int main() {
  auto &g = zor::bench::groups();
  std::stable_sort(g.begin(), g.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });
  for (const auto &entry : g) entry.second();
  return 0;
}
