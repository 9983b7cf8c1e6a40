#pragma once
// A real NetworkManager for one test: its own system bus (a dbus-daemon on a
// socket in the test's directory, named by DBUS_SYSTEM_BUS_ADDRESS for this
// process), run in a network namespace of its own with private /run and
// /var/lib/NetworkManager, managing veth links through keyfile profiles in
// the test's directory (in /tmp unless another parent is given). Everything
// is stopped and removed by the destructor.
#include <string>
#include <vector>

#include "tests/common/test_dir.h"
#include "tests/dns/child_process.h"

struct NmProfile {
  std::string id;
  std::string iface;   // link made for it (a veth end); "" for none
  std::string search;  // keyfile dns-search value, e.g. "a.example;b.example;"
  std::string type = "ethernet";
};

class NmBench {
 public:
  explicit NmBench(std::vector<NmProfile> profiles, const std::string& parent = "/tmp");
  ~NmBench();
  NmBench(const NmBench&) = delete;
  NmBench& operator=(const NmBench&) = delete;

  // Bus, links, NetworkManager; true once every profile's device is connected.
  bool up();
  bool startNm();
  void stopNm();

  // nmcli's answer (trimmed), run against this bench's bus.
  std::string nmcli(const std::string& args) const;
  // The profile's search list as nmcli prints it ("a.example,b.example").
  std::string searchOf(const std::string& id) const { return nmcli("-g ipv4.dns-search connection show " + ShellQuote(id)); }
  // The search domains applied on the device now.
  std::string appliedDomainsOf(const std::string& iface) const;
  std::string keyfileOf(const std::string& id) const { return readWholeFile(keyfilePath(id)); }
  // Makes NetworkManager's writes of this profile fail (a mount over its file).
  bool blockKeyfile(const std::string& id);
  bool unblockKeyfile(const std::string& id);

  std::string keyfilePath(const std::string& id) const { return testDir.file("profiles/" + id + ".nmconnection"); }
  const std::string& netns() const { return ns; }
  const TestDir& dir() const { return testDir; }
  std::string nmLog() const { return readWholeFile(testDir.file("nm.log")); }

 private:
  void writeConfig();

  std::vector<NmProfile> profiles;
  TestDir testDir;
  std::string ns;
  ChildProcess bus, nm;
  bool nsMade = false;
};
