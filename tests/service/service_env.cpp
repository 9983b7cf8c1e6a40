#include "tests/service/service_env.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "cross/utils/execution_dir.h"
#include "cross/utils/log.h"
#include "tests/common/test_dir.h"

namespace {

class ServiceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir = std::make_unique<TestDir>();
    snprintf(installDir, sizeof installDir, "%s", dir->path().c_str());
    GetLog().CreateLogFile(ServiceLogPath().c_str());
  }
  // Logging stops first: reader threads of the IPC server may still write.
  void TearDown() override {
    GetLog().LogEnable(0);
    dir.reset();
  }
  std::unique_ptr<TestDir> dir;
};

ServiceEnvironment* const g_env =
    static_cast<ServiceEnvironment*>(::testing::AddGlobalTestEnvironment(new ServiceEnvironment));

}  // namespace

std::string ServiceLogPath() { return g_env->dir->file("SrvLog.csv"); }

std::string ServiceLogText() { return readWholeFile(ServiceLogPath()); }
