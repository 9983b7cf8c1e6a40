#include "tests/dns/nm_bench.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace {

constexpr int kReadyTimeoutMs = 30000;

const char* kBusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@DIR@/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
  </policy>
</busconfig>
)";

const char* kNmConfig = R"([main]
plugins=keyfile
auth-polkit=false
dns=none
rc-manager=unmanaged
no-auto-default=*
[keyfile]
path=@DIR@/profiles
)";

std::string withDir(std::string text, const std::string& dir) {
  for (size_t at; (at = text.find("@DIR@")) != std::string::npos;) text.replace(at, 5, dir);
  return text;
}

std::string keyfileText(const NmProfile& p, int index) {
  std::string text = "[connection]\nid=" + p.id + "\ntype=" + p.type + "\n";
  if (!p.iface.empty()) text += "interface-name=" + p.iface + "\n";
  if (p.type == "bridge") text += "[bridge]\nstp=false\n";
  text += "[ipv4]\nmethod=manual\naddress1=203.0.113." + std::to_string(10 + index) + "/32\n";
  if (!p.search.empty()) text += "dns-search=" + p.search + "\n";
  return text + "[ipv6]\nmethod=disabled\n";
}

}  // namespace

NmBench::NmBench(std::vector<NmProfile> list, const std::string& parent)
    : profiles(std::move(list)), testDir("zor-dns-nm", parent) {
  ns = FreshNetnsName("zdnm");
  setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + testDir.file("bus")).c_str(), 1);
}

NmBench::~NmBench() {
  stopNm();
  bus.stop();
  if (nsMade) Shell("ip netns del " + ns);
}

void NmBench::writeConfig() {
  writeWholeFile(testDir.file("bus.conf"), withDir(kBusConfig, testDir.path()));
  writeWholeFile(testDir.file("nm.conf"), withDir(kNmConfig, testDir.path()));
  mkdir(testDir.file("profiles").c_str(), 0700);
  for (size_t i = 0; i < profiles.size(); i++) {
    writeWholeFile(keyfilePath(profiles[i].id), keyfileText(profiles[i], static_cast<int>(i)));
    chmod(keyfilePath(profiles[i].id).c_str(), 0600);
  }
}

bool NmBench::up() {
  writeConfig();
  if (Shell("ip netns add " + ns) != 0) return false;
  nsMade = true;
  std::string links = "ip -n " + ns + " link set lo up";
  for (const NmProfile& p : profiles)
    if (p.type == "ethernet" && !p.iface.empty())
      links += " && ip -n " + ns + " link add " + p.iface + " type veth peer name " + p.iface + "p && ip -n " + ns +
               " link set " + p.iface + "p up";
  if (Shell(links) != 0) return false;
  if (!bus.start({"dbus-daemon", "--config-file=" + testDir.file("bus.conf"), "--nofork", "--nopidfile"},
                 testDir.file("bus.log")))
    return false;
  if (!WaitForOutput("test -S " + testDir.file("bus") + " && echo up", "up", kReadyTimeoutMs)) return false;
  return startNm();
}

bool NmBench::startNm() {
  // Without udev NetworkManager takes links as initialised only with /sys
  // read-only; the profile directory is its own mount so that a test can
  // later block a single file in this mount namespace.
  std::string profilesDir = testDir.file("profiles");
  std::string script = "mount -t tmpfs tmpfs /run && mkdir -p /run/NetworkManager && "
                       "mount -t tmpfs tmpfs /var/lib/NetworkManager && mount -o remount,ro /sys && "
                       "mount --bind " + profilesDir + " " + profilesDir + " && "
                       "exec NetworkManager --no-daemon --config=" + testDir.file("nm.conf");
  if (!nm.start({"ip", "netns", "exec", ns, "unshare", "-m", "--propagation", "private", "sh", "-c", script},
                testDir.file("nm.log")))
    return false;
  for (const NmProfile& p : profiles) {
    if (p.iface.empty()) continue;
    std::string state = "nmcli -g GENERAL.STATE device show " + p.iface + " 2>/dev/null | cut -d' ' -f1";
    if (!WaitForOutput(state, "100", kReadyTimeoutMs)) return false;
  }
  return true;
}

void NmBench::stopNm() { nm.stop(); }

std::string NmBench::nmcli(const std::string& args) const {
  std::string out;
  Shell("nmcli " + args + " 2>&1", &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

std::string NmBench::appliedDomainsOf(const std::string& iface) const {
  return nmcli("-g IP4.SEARCHES device show " + iface);
}

bool NmBench::blockKeyfile(const std::string& id) {
  std::string file = keyfilePath(id);
  return Shell("nsenter -t " + std::to_string(nm.pid()) + " -m mount --bind " + ShellQuote(file) + " " +
               ShellQuote(file)) == 0;
}

bool NmBench::unblockKeyfile(const std::string& id) {
  return Shell("nsenter -t " + std::to_string(nm.pid()) + " -m umount " + ShellQuote(keyfilePath(id))) == 0;
}
