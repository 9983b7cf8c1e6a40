// Gateway addresses, profile queries and host name look-ups.
#include <gtest/gtest.h>
#include <unistd.h>

#include "cross/common/profile_set.h"
#include "tests/profiles/profile_test_support.h"

namespace {

const char kHosts[] =
    "192.0.2.50 gw.example.test\n"
    "198.51.100.7 gw2.example.test\n"
    "::1 gw6.example.test\n";

// Runs body in a child that resolves names from kHosts only.
std::string withHosts(const std::function<std::string()>& body) {
  if (geteuid() != 0) return "skip";
  return InChild([&]() -> std::string {
    if (!UsePrivateHosts(kHosts)) return "no private hosts";
    return body();
  });
}

Profile profileWith(std::vector<VESKAddress> addrs, int32_t selected) {
  Profile p;
  p.id = 5;
  p.certificate.binUniqId.assign(32, 1);
  p.veskAddrs = std::move(addrs);
  p.usingVeskAddr = selected;
  return p;
}

TEST(ProfileModel, NewProfileIsEmpty) {
  const Profile p;
  EXPECT_EQ(p.getVESKAddr(), 0u);
  EXPECT_TRUE(p.isEmpty());
  EXPECT_TRUE(p.isEmptyNoAddr());
  EXPECT_GE(p.veskAddrs.capacity(), 4u);
}

TEST(ProfileModel, SelectedGatewayAddress) {
  std::vector<VESKAddress> five;
  for (uint32_t i = 0; i < 5; i++) five.push_back({VESKAddress::IPV4, 0xC0000201 + i, ""});
  Profile p = profileWith(five, 4);
  EXPECT_EQ(static_cast<const Profile&>(p).getVESKAddr(), 0u);  // indexes above 3 select nothing
  EXPECT_EQ(p.getVESKAddr(), 0xC0000205u);
  EXPECT_FALSE(p.isEmptyNoAddr());
  p.usingVeskAddr = 5;
  EXPECT_EQ(static_cast<const Profile&>(p).getVESKAddr(), 0u);
  EXPECT_EQ(p.getVESKAddr(), 0u);
  EXPECT_TRUE(p.isEmptyNoAddr());
  p.usingVeskAddr = 1;
  EXPECT_EQ(p.getVESKAddr(), 0xC0000202u);
  EXPECT_FALSE(p.isEmpty());
  p.certificate.binUniqId.clear();
  EXPECT_TRUE(p.isEmpty());
  EXPECT_TRUE(p.isEmptyNoAddr());
}

TEST(ProfileModel, StoredAddressesNeedNoLookUp) {
  Profile p =
      profileWith({{VESKAddress::DNS_NAME, 0xCB007105, "gw.example.test"}, {VESKAddress::IPV4, 0, ""}}, 0);
  EXPECT_EQ(static_cast<const Profile&>(p).getVESKAddr(), 0xCB007105u);
  p.usingVeskAddr = 1;
  EXPECT_EQ(p.getVESKAddr(), 0u);
}

TEST(ProfileModel, UnresolvedNamesAreLookedUp) {
  std::string out = withHosts([] {
    Profile p = profileWith({{VESKAddress::DNS_NAME, 0, "gw.example.test"}}, 0);
    const Profile& view = p;
    std::string r;
    auto add = [&r](uint32_t value) {
      if (!r.empty()) r += ' ';
      r += std::to_string(value);
    };
    add(view.getVESKAddr());
    add(p.veskAddrs[0].fa_ipaddr);
    add(p.getVESKAddr());
    add(p.veskAddrs[0].fa_ipaddr);
    p.veskAddrs.push_back({VESKAddress::DNS_NAME, 0, "nosuch.example.test"});
    p.usingVeskAddr = 1;
    add(p.getVESKAddr());
    add(p.veskAddrs[1].fa_ipaddr);
    return r;
  });
  if (out == "skip") GTEST_SKIP() << "needs root for a private hosts file";
  const std::string gw = std::to_string(0xC0000232u);
  EXPECT_EQ(out, gw + " 0 " + gw + " " + gw + " 0 0");
}

TEST(ProfileAddress, TextForms) {
  struct Case {
    const char* text;
    bool ip;
    bool domain;
  } cases[] = {
      {"192.0.2.1", true, false},          {"999.1.1.1", true, false},
      {"192.0.2", false, false},           {"192.0.2.1.5", false, false},
      {"0:0:0:0:0:0:0:1", true, false},    {"::1", false, false},
      {"gw.example.test", false, true},    {"gw.example.test.", false, true},
      {"gw-1.example.test", false, true},  {"localhost", false, false},
      {"localhost.", false, false},        {"gw.example.t3st", false, false},
      {"gw.example.t", false, false},      {"gw..test", false, false},
      {"gw_1.example.test", false, false}, {"", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VESKAddress::isIPAddress(c.text), c.ip) << c.text;
    EXPECT_EQ(VESKAddress::isDomainName(c.text), c.domain) << c.text;
  }
}

TEST(ProfileAddress, DottedAddressIsTakenInHostOrder) {
  VESKAddress a{0, 0, "kept"};
  ASSERT_TRUE(a.fromString("203.0.113.5"));
  EXPECT_EQ(a.type, VESKAddress::IPV4);
  EXPECT_EQ(a.fa_ipaddr, 0xCB007105u);
  EXPECT_EQ(a.fa_url, "kept");
  EXPECT_EQ(a.toString(), "203.0.113.5");
}

// A text of address form that the IPv4 parser refuses is a failure that
// changes nothing.
TEST(ProfileAddress, RefusedAddressChangesNothing) {
  const VESKAddress before{VESKAddress::DNS_NAME, 0xC0000201, "gw.example.test"};
  for (const char* text : {"192.0.2.300", "0:0:0:0:0:0:0:1", "192.0.2", "not an address", ""}) {
    VESKAddress a = before;
    EXPECT_FALSE(a.fromString(text)) << text;
    EXPECT_EQ(a, before) << text;
  }
}

TEST(ProfileAddress, NamesAreResolvedWhenTaken) {
  std::string out = withHosts([] {
    VESKAddress a{0, 7, ""};
    std::string r = a.fromString("gw.example.test") ? "true" : "false";
    for (const std::string &field : {std::to_string(a.type), std::to_string(a.fa_ipaddr), a.fa_url})
      r.append(" ").append(field);
    VESKAddress b{VESKAddress::IPV4, 7, ""};
    r += b.fromString("nosuch.example.test") ? " true" : " false";
    return r + " " + std::to_string(b.type) + " " + std::to_string(b.fa_ipaddr) + " " + b.fa_url;
  });
  if (out == "skip") GTEST_SKIP() << "needs root for a private hosts file";
  EXPECT_EQ(out, "true 2 " + std::to_string(0xC0000232u) + " gw.example.test false 2 7 nosuch.example.test");
}

TEST(ProfileAddress, ToStringByType) {
  EXPECT_EQ((VESKAddress{VESKAddress::DNS_NAME, 0xC0000201, ""}).toString(), "");
  EXPECT_EQ((VESKAddress{VESKAddress::DNS_NAME, 0, "gw.example.test"}).toString(), "gw.example.test");
  EXPECT_EQ((VESKAddress{VESKAddress::UNSET, 0, "x"}).toString(), "0.0.0.0");
  EXPECT_EQ((VESKAddress{VESKAddress::UNSET, 0xC633640A, ""}).toString(), "198.51.100.10");
  EXPECT_EQ((VESKAddress{7, 0xFFFFFFFF, ""}).toString(), "255.255.255.255");
}

TEST(ProfileResolver, FirstAddressOfAName) {
  std::string out = withHosts([] {
    return std::to_string(resolveDNS_UL("gw2.example.test")) + " " + resolveDNS_STR("gw2.example.test") +
           " " + std::to_string(resolveDNS_UL("gw6.example.test")) + " " +
           resolveDNS_STR("gw6.example.test") + " " + std::to_string(resolveDNS_UL("nosuch.example.test")) +
           " [" + resolveDNS_STR("nosuch.example.test") + "]";
  });
  if (out == "skip") GTEST_SKIP() << "needs root for a private hosts file";
  EXPECT_EQ(out, std::to_string(0xC6336407u) + " 198.51.100.7 0 ::1 0 []");
}

TEST(ProfileResolver, EmptyNameResolvesToNothing) {
  EXPECT_EQ(resolveDNS_UL(""), 0u);
  EXPECT_EQ(resolveDNS_STR(""), "");
}

}  // namespace
