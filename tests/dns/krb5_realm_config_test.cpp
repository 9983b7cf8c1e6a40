// The Kerberos configuration for a realm taken from the host name: ahead of
// the usual one in the list the programs get while it lives, gone
// afterwards.
#include "Service/common/dns/krb5_realm_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>

#include "tests/common/test_dir.h"

namespace {

std::string krb5Config() {
  const char* v = getenv("KRB5_CONFIG");
  return v ? v : "(unset)";
}

// The list is the programs' own: the daemon's KRB5_CONFIG stays as it is.
TEST(DerivedRealmConfig, NamesTheRealmAheadOfTheUsualConfigurationWhileItLives) {
  unsetenv("KRB5_CONFIG");
  std::string path;
  {
    DerivedRealmConfig config("CORP.EXAMPLE");
    path = config.path();
    EXPECT_EQ(config.searchList(), path + ":/etc/krb5.conf");
    EXPECT_EQ(readWholeFile(path), "[libdefaults]\n\tdefault_realm = CORP.EXAMPLE\n");
    EXPECT_EQ(krb5Config(), "(unset)");
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0);

  setenv("KRB5_CONFIG", "/etc/site-krb5.conf", 1);
  {
    DerivedRealmConfig config("CORP.EXAMPLE");
    EXPECT_EQ(config.searchList(), config.path() + ":/etc/site-krb5.conf");
    EXPECT_EQ(krb5Config(), "/etc/site-krb5.conf");
  }
  EXPECT_EQ(krb5Config(), "/etc/site-krb5.conf");
  unsetenv("KRB5_CONFIG");
}

TEST(DerivedRealmConfig, RefusesARealmThatCouldChangeTheFile) {
  unsetenv("KRB5_CONFIG");
  for (const char* realm : {"", "CORP EXAMPLE", "CORP\n[realms]", "CORP=X", "CORP#X", "CORP;X"})
    EXPECT_THROW(DerivedRealmConfig{realm}, std::runtime_error) << realm;
  EXPECT_EQ(krb5Config(), "(unset)");
}

}  // namespace
