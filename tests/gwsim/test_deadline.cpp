// A deadline for every test of the program: a test still running after
// kTestDeadline ends the program with a line that names it. A slot that is
// never finished leaves Next(), Drain() or a destructor waiting for good,
// and a thread stuck in a wait cannot be ended on its own, so the program
// ends instead of waiting for ctest's time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr std::chrono::seconds kTestDeadline{20};

class TestDeadline : public testing::EmptyTestEventListener {
 public:
  void OnTestStart(const testing::TestInfo &test) override {
    std::lock_guard<std::mutex> lock(mu_);
    name_ = std::string(test.test_suite_name()) + "." + test.name();
    running_ = true;
    if (!watch_.joinable()) watch_ = std::thread([this] { Watch(); });
    changed_.notify_all();
  }
  void OnTestEnd(const testing::TestInfo &) override {
    std::lock_guard<std::mutex> lock(mu_);
    running_ = false;
    changed_.notify_all();
  }
  void OnTestProgramEnd(const testing::UnitTest &) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
      changed_.notify_all();
    }
    if (watch_.joinable()) watch_.join();
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      changed_.wait(lock, [this] { return running_ || stop_; });
      if (stop_) return;
      const std::string name = name_;
      if (changed_.wait_for(lock, kTestDeadline, [&] { return !running_ || name_ != name; }))
        continue;
      std::fprintf(stderr, "%s: still running after %lld s: a slot or task was never finished\n",
                   name.c_str(), static_cast<long long>(kTestDeadline.count()));
      std::fflush(stderr);
      std::_Exit(1);
    }
  }

  std::mutex mu_;
  std::condition_variable changed_;
  std::string name_;
  bool running_ = false, stop_ = false;
  std::thread watch_;
};

const bool registered = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new TestDeadline);
  return true;
}();

}  // namespace
