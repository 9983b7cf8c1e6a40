#include "tests/dns/kdc_bench.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kReadyTimeoutMs = 30000;

std::string withDir(std::string text, const std::string& dir) {
  for (size_t at; (at = text.find("@DIR@")) != std::string::npos;) text.replace(at, 5, dir);
  return text;
}

const char* kRealmConf = R"([libdefaults]
  default_realm = CORP.EXAMPLE
  rdns = false
  dns_canonicalize_hostname = false
  dns_lookup_kdc = false
  dns_lookup_realm = false
[realms]
  CORP.EXAMPLE = {
    kdc = 192.0.2.53
  }
)";

const char* kKdcConf = R"([kdcdefaults]
  kdc_ports = 88
  kdc_tcp_ports = 88
[realms]
  CORP.EXAMPLE = {
    database_name = @DIR@/principal
    key_stash_file = @DIR@/stash
    acl_file = @DIR@/kadm5.acl
    kdc_listen = 192.0.2.53
    kdc_tcp_listen = 192.0.2.53
  }
[logging]
  kdc = FILE:@DIR@/kdc.log
)";

// No recursion and an empty root hint zone: named never looks outside.
const char* kNamedConf = R"(options {
  directory "@DIR@/named";
  pid-file none;
  listen-on { 192.0.2.53; };
  listen-on-v6 { none; };
  recursion no;
  tkey-gssapi-keytab "@DIR@/named/dns.keytab";
};
zone "." { type hint; file "@DIR@/named/root.hint"; };
zone "corp.example" {
  type primary;
  file "@DIR@/named/corp.example.db";
  update-policy { deny * name pc9.corp.example. A; grant CORP.EXAMPLE ms-self . A; };
};
zone "wide.example" { type primary; file "@DIR@/named/wide.example.db"; max-records-per-type 0; };
)";

const char* kZone = R"($TTL 300
@ IN SOA ns1.corp.example. hostmaster.corp.example. ( 1 3600 600 86400 300 )
@ IN NS ns1.corp.example.
ns1 IN A 192.0.2.53
pc1 IN A 192.0.2.99
)";

// A zone whose primary server has so many addresses that the answer for
// them (over 5,000 bytes, sent over TCP) does not fit a 4096-byte buffer.
std::string wideZone() {
  std::string zone = "$TTL 300\n@ IN SOA ns.wide.example. hostmaster.wide.example. ( 1 3600 600 86400 300 )\n"
                     "@ IN NS ns.wide.example.\n";
  for (int i = 1; i <= 254; i++) zone += "ns IN A 192.0.2." + std::to_string(i) + "\n";
  for (int i = 1; i <= 100; i++) zone += "ns IN A 198.51.100." + std::to_string(i) + "\n";
  return zone;
}

}  // namespace

KdcBench::KdcBench() {
  ns = FreshNetnsName("zdkr");
}

KdcBench::~KdcBench() {
  named.stop();
  kdc.stop();
  if (nsMade) Shell("ip netns del " + ns);
}

std::string KdcBench::inNetns(const std::string& command) const {
  return "ip netns exec " + ns + " env KRB5_CONFIG=" + dir.file("krb5.conf") +
         " KRB5_KDC_PROFILE=" + dir.file("kdc.conf") + " " + command;
}

bool KdcBench::makeRealm() {
  const std::string& d = dir.path();
  chmod(d.c_str(), 0755);  // named runs as bind
  mkdir(dir.file("named").c_str(), 0755);
  writeWholeFile(dir.file("krb5.conf"), kRealmConf);
  writeWholeFile(dir.file("kdc.conf"), withDir(kKdcConf, d));
  writeWholeFile(dir.file("kadm5.acl"), "");
  writeWholeFile(dir.file("named/named.conf"), withDir(kNamedConf, d));
  writeWholeFile(dir.file("named/root.hint"), "");
  writeWholeFile(dir.file("named/corp.example.db"), kZone);
  writeWholeFile(dir.file("named/wide.example.db"), wideZone());
  std::string kadmin = inNetns("kadmin.local -q ");
  std::string script =
      inNetns("kdb5_util create -s -r CORP.EXAMPLE -P zor-master") + " && " +
      kadmin + ShellQuote("addprinc -randkey PC1$") + " && " + kadmin + ShellQuote("addprinc -randkey PC9$") + " && " +
      kadmin + ShellQuote("addprinc -randkey OTHER$") + " && " + kadmin +
      ShellQuote("addprinc -randkey DNS/ns1.corp.example") + " && " +
      kadmin + ShellQuote("ktadd -k " + dir.file("host.keytab") + " PC1$ PC9$") + " && " +
      kadmin + ShellQuote("ktadd -k " + dir.file("other.keytab") + " OTHER$") + " && " +
      kadmin + ShellQuote("ktadd -k " + dir.file("named/dns.keytab") + " DNS/ns1.corp.example") + " && " +
      "chown -R bind " + dir.file("named");
  std::string out;
  return Shell(script, &out) == 0;
}

bool KdcBench::up() {
  if (Shell("ip netns add " + ns + " && ip -n " + ns + " link set lo up && ip -n " + ns +
            " addr add 192.0.2.53/32 dev lo") != 0)
    return false;
  nsMade = true;
  if (!makeRealm()) return false;
  std::vector<std::string> env = {"ip", "netns", "exec", ns, "env", "KRB5_CONFIG=" + dir.file("krb5.conf"),
                                  "KRB5_KDC_PROFILE=" + dir.file("kdc.conf")};
  std::vector<std::string> kdcArgv = env, namedArgv = env;
  kdcArgv.insert(kdcArgv.end(), {"krb5kdc", "-n"});
  namedArgv.insert(namedArgv.end(), {"named", "-g", "-u", "bind", "-c", dir.file("named/named.conf")});
  if (!kdc.start(kdcArgv, dir.file("kdc.out")) || !named.start(namedArgv, dir.file("named.log"))) return false;
  std::string soa = "ip netns exec " + ns + " dig +short +time=1 +tries=1 @192.0.2.53 corp.example SOA | cut -d' ' -f1";
  std::string ticket = inNetns("env KRB5CCNAME=FILE:" + dir.file("probe.cc") + " kinit -k -t " +
                               dir.file("host.keytab") + " 'PC1\\$' && echo ticket");
  return WaitForOutput(soa, "ns1.corp.example.", kReadyTimeoutMs) && WaitForOutput(ticket, "ticket", kReadyTimeoutMs);
}

std::string KdcBench::runProbe(const std::string& hostName, const std::string& keytab, const std::string& krb5Conf,
                               const std::vector<std::string>& args, const std::string& before) {
  // The daemon's fixed paths (/etc/krb5.conf, /etc/krb5.keytab, its run
  // directory for the ticket cache, /tmp) are private copies: /etc, /run and
  // /tmp are overlays whose upper layers live on a tmpfs of this mount
  // namespace only.
  std::string ov = dir.file("ov");
  mkdir(ov.c_str(), 0700);
  auto overlay = [&ov](const std::string& target, const std::string& layer) {
    return "mkdir " + ov + "/" + layer + "u " + ov + "/" + layer + "w && mount -t overlay overlay -o lowerdir=" +
           target + ",upperdir=" + ov + "/" + layer + "u,workdir=" + ov + "/" + layer + "w " + target;
  };
  std::string command = "mount -t tmpfs tmpfs " + ov + " && " + overlay("/etc", "e") + " && cp " +
                        ShellQuote(krb5Conf) + " /etc/krb5.conf && cp " + ShellQuote(keytab) + " /etc/krb5.keytab && " +
                        overlay("/run", "r") + " && mkdir -p -m 0755 /run/solvarin && " + overlay("/tmp", "t") +
                        " && printf %s " + ShellQuote(hostName) + " >/proc/sys/kernel/hostname && " +
                        (before.empty() ? "" : before + " && ") + "exec " + ShellQuote(ZOR_REGISTRATION_PROBE);
  for (const std::string& a : args) command.append(" ").append(ShellQuote(a));
  std::string out;
  Shell("ip netns exec " + ns + " unshare -m -u --propagation private sh -c " + ShellQuote(command) + " 2>&1", &out);
  return out;
}

std::string KdcBench::aRecords(const std::string& name) const {
  std::string out;
  Shell("ip netns exec " + ns + " dig +noall +answer +time=2 +tries=1 @192.0.2.53 " + name +
            " A | tr -s ' \\t' ' '",
        &out);
  return out;
}
