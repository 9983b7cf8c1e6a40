#pragma once
// Shared set-up of the profile store tests: every test runs with a fresh
// directory of its own as settingsDir, an empty profile list and a default
// profile set; installDir is one directory for the whole program, holding
// the registry file and the log.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cross/common/profile_json.h"
#include "tests/common/test_dir.h"

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // settingsDir + "/cfg.ini".
  std::string cfgPath() const { return dir + "/cfg.ini"; }

  std::string dir;
};

bool FileExists(const std::string& path);
// A file of tests/profiles/data.
std::string DataFile(const std::string& name);
// Names in a directory, sorted.
std::vector<std::string> DirEntries(const std::string& dir);
// The log written so far.
std::string LogText();

// A complete first-version "cfg" object: every member, all zero.
json CfgJson();

// Runs body in a forked child and returns what it returned; a child that
// does not end normally within 10 s fails the test (and is killed). Only
// for a process that runs no other thread: else the test fails at once.
std::string InChild(const std::function<std::string()>& body);
// In a child only: a private mount namespace in which /etc/hosts holds
// hosts and name look-ups read nothing else. False when that is refused.
bool UsePrivateHosts(const std::string& hosts);
