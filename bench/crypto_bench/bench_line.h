// The benchmark's building blocks. Each source file of crypto_bench
// registers a group of lines (BENCH_GROUP); main runs the groups in order of
// their rank and prints one line per algorithm and buffer size:
//   <algorithm> <bytes> ours <MB/s> engine <MB/s or -> ratio <ours/engine or ->
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

namespace zor::bench {

// One operation over a buffer of the given size; false when it failed.
using Operation = std::function<bool(uint8_t *buf, size_t bytes)>;

// The buffer sizes every line is measured at.
inline constexpr size_t kSizes[] = {16384, 1408};

// Measures both operations on the same buffer size and prints the line; an
// empty `engine` (or one that fails) prints "-".
void bench_line(const char *algorithm, size_t bytes, const Operation &ours,
                const Operation &engine);

// Runs of `run` per second, over at least a quarter of a second after one
// warm-up run; negative when a run fails.
double runs_per_second(const std::function<bool()> &run);

// Prints "<label> ours <a> engine <b> ratio <a/b>" with `decimals` places; an
// engine figure that is not positive prints "-" for it and for the ratio.
void print_line(const char *label, double ours, double engine, int decimals);

using Group = void (*)();
struct GroupRegistration {
  GroupRegistration(int rank, Group group);
};

}  // namespace zor::bench

#define ZOR_BENCH_CONCAT2(a, b) a##b
#define ZOR_BENCH_CONCAT(a, b) ZOR_BENCH_CONCAT2(a, b)
// BENCH_GROUP(rank, function): runs function() among the groups, lower ranks first.
#define BENCH_GROUP(rank, fn) \
  static const ::zor::bench::GroupRegistration ZOR_BENCH_CONCAT(bench_group_, __LINE__)(rank, fn)
