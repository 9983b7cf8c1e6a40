#pragma once
// A Kerberos realm CORP.EXAMPLE and its DNS zone corp.example for one test:
// an MIT KDC and BIND's named, both on 192.0.2.53 in a network namespace of
// their own, named taking GSS-TSIG updates (a machine principal NAME$ may
// set the A record NAME.corp.example, except pc9). Key tables for the host
// principals are made in the test's directory. The destructor stops both
// servers and removes the namespace.
#include <string>
#include <vector>

#include "tests/common/test_dir.h"
#include "tests/dns/child_process.h"

class KdcBench {
 public:
  KdcBench();
  ~KdcBench();
  KdcBench(const KdcBench&) = delete;
  KdcBench& operator=(const KdcBench&) = delete;

  // Realm, zone (with a stale pc1 record 192.0.2.99), both servers; true
  // once named answers for the zone and the KDC issues tickets.
  bool up();

  // Runs the registration probe in the namespace as host hostName with
  // keytab as /etc/krb5.keytab and krb5Conf as /etc/krb5.conf, after the
  // shell commands before (if any) in its private /etc, /run and /tmp; its
  // output.
  std::string runProbe(const std::string& hostName, const std::string& keytab, const std::string& krb5Conf,
                       const std::vector<std::string>& args, const std::string& before = "");

  // The A records of name as named serves them: "name. ttl IN A address" lines.
  std::string aRecords(const std::string& name) const;

  std::string file(const std::string& name) const { return dir.file(name); }
  std::string serverLogs() const { return readWholeFile(dir.file("named.log")) + readWholeFile(dir.file("kdc.log")); }

 private:
  bool makeRealm();
  std::string inNetns(const std::string& command) const;

  TestDir dir{"zor-dns-kdc"};
  std::string ns;
  ChildProcess kdc, named;
  bool nsMade = false;
};
