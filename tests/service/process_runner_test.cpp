#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "cross/utils/process_runner.h"

namespace {

ProcessResult run(const std::vector<std::string>& argv, const std::optional<std::string>& input = std::nullopt,
                  int timeoutMs = 10000) {
  return RunProcess(argv, input, timeoutMs, false);
}

struct ExitCase {
  std::vector<std::string> argv;
  int exitCode;
};

TEST(ProcessRunner, ExitCodesOfNormalEndsSignalsAndMissingPrograms) {
  const ExitCase cases[] = {
      {{"true"}, 0},
      {{"false"}, 1},
      {{"sh", "-c", "exit 3"}, 3},
      {{"sh", "-c", "kill -TERM $$"}, 128 + 15},
      {{"sh", "-c", "kill -KILL $$"}, 128 + 9},
      {{"no-such-program-of-the-test"}, 127},
      {{"/no/such/path"}, 127},
  };
  for (const ExitCase& c : cases) EXPECT_EQ(run(c.argv).exitCode, c.exitCode) << c.argv.back();
}

TEST(ProcessRunner, CollectsBothOutputsAndTakesArgumentsWithoutAShell) {
  ProcessResult r = run({"sh", "-c", "echo out; echo err >&2; printf '%s|' \"$@\"", "sh", "a b", "$HOME", "c\\$"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "out\na b|$HOME|c\\$|");
  EXPECT_EQ(r.err, "err\n");
}

// The child's own variables: added, or replacing the daemon's of the same
// name (a longer name that starts with it stays); the daemon's stay as
// they were.
TEST(ProcessRunner, TheChildsEnvironmentCarriesItsVariablesAndOursDoesNotChange) {
  setenv("ZOR_RUNNER_KEPT", "daemon", 1);
  setenv("ZOR_RUNNER_SET", "daemon", 1);
  setenv("ZOR_RUNNER_SETX", "daemon", 1);
  unsetenv("ZOR_RUNNER_NEW");
  ProcessResult r = RunProcess(
      {"sh", "-c", "printf '%s|%s|%s|%s' \"$ZOR_RUNNER_KEPT\" \"$ZOR_RUNNER_SET\" \"$ZOR_RUNNER_SETX\" \"$ZOR_RUNNER_NEW\""},
      std::nullopt, 10000, false, {"ZOR_RUNNER_SET=child", "ZOR_RUNNER_NEW=child=too"});
  EXPECT_EQ(r.out, "daemon|child|daemon|child=too");
  EXPECT_STREQ(getenv("ZOR_RUNNER_SET"), "daemon");
  EXPECT_EQ(getenv("ZOR_RUNNER_NEW"), nullptr);
  for (const char* name : {"ZOR_RUNNER_KEPT", "ZOR_RUNNER_SET", "ZOR_RUNNER_SETX"}) unsetenv(name);
}

TEST(ProcessRunner, LargeOutputWhileStdinIsFedDoesNotDeadlock) {
  std::string input(4 << 20, 'x');
  for (size_t i = 0; i < input.size(); i += 4096) input[i] = static_cast<char>('a' + i / 4096 % 26);
  ProcessResult echoed = run({"cat"}, input);
  EXPECT_EQ(echoed.exitCode, 0);
  EXPECT_TRUE(echoed.out == input);
  // Writes a megabyte to each output before it reads a byte of its input.
  ProcessResult first = run({"sh", "-c", "head -c 1048576 /dev/zero; head -c 1048576 /dev/zero >&2; wc -c"}, input);
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_EQ(first.out.size(), (1u << 20) + std::to_string(input.size()).size() + 1);
  EXPECT_EQ(first.out.substr(1 << 20), std::to_string(input.size()) + "\n");
  EXPECT_EQ(first.err.size(), 1u << 20);
}

TEST(ProcessRunner, EmptyInputClosesStdinAndNoInputKeepsOurs) {
  EXPECT_EQ(run({"wc", "-c"}, std::string()).out, "0\n");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "ours\n", 5), 5);
  close(fds[1]);
  int saved = dup(0);
  dup2(fds[0], 0);
  close(fds[0]);
  ProcessResult r = run({"cat"});
  dup2(saved, 0);
  close(saved);
  EXPECT_EQ(r.out, "ours\n");
}

TEST(ProcessRunner, AChildPastItsTimeoutIsKilled) {
  ProcessResult r = run({"sh", "-c", "echo started; exec sleep 30"}, std::nullopt, 300);
  EXPECT_EQ(r.exitCode, 128 + 9);
  EXPECT_EQ(r.out, "started\n");
}

// The runtime error a run ends with, taken out of the exception only after
// the run (so that nothing else needs a descriptor while they are short).
std::exception_ptr failureOf(const std::vector<std::string>& argv, const std::optional<std::string>& input) {
  try {
    run(argv, input);
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

std::string textOf(std::exception_ptr failure) {
  if (!failure) return "no error";
  try {
    std::rethrow_exception(failure);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

std::string errorOf(const std::vector<std::string>& argv, const std::optional<std::string>& input) {
  return textOf(failureOf(argv, input));
}

TEST(ProcessRunner, EmptyArgumentsAndAStoppedReaderAreRuntimeErrors) {
  EXPECT_EQ(errorOf({}, std::nullopt), "run_command: empty args");
  // The child closes its input at once; feeding it fails, and no SIGPIPE ends us.
  EXPECT_EQ(errorOf({"sh", "-c", "exec 0<&-; sleep 1"}, std::string(1 << 20, 'x')),
            "write(stdin pipe): Broken pipe");
}

// Leaves exactly free descriptor numbers below the limit and runs the
// runner, returning its error text.
std::string errorWithFreeDescriptors(int free, bool withInput) {
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  int probe = open("/dev/null", O_RDONLY);
  close(probe);
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(probe + 16);
  setrlimit(RLIMIT_NOFILE, &low);
  std::vector<int> fillers;
  for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
  for (int i = 0; i < free && !fillers.empty(); i++) {
    close(fillers.back());
    fillers.pop_back();
  }
  std::exception_ptr failure = failureOf({"true"}, withInput ? std::optional<std::string>("x") : std::nullopt);
  for (int fd : fillers) close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  return textOf(failure);
}

size_t openPipes() {
  size_t pipes = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec).string().rfind("pipe:", 0) == 0) pipes++;
  }
  return pipes;
}

TEST(ProcessRunner, FailingPipesNameTheirStep) {
  EXPECT_EQ(errorWithFreeDescriptors(0, false), "pipe(stdout): Too many open files");
  EXPECT_EQ(errorWithFreeDescriptors(2, false), "pipe(stderr): Too many open files");
  EXPECT_EQ(errorWithFreeDescriptors(4, true), "pipe(stdin): Too many open files");
  // Every pipe of a failed run was closed again.
  size_t before = openPipes();
  EXPECT_EQ(errorWithFreeDescriptors(5, true), "pipe(stdin): Too many open files");
  EXPECT_EQ(openPipes(), before);
}

}  // namespace
