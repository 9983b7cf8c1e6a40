#include "Service/common/dns/nsupdate_exchange.h"

#include <arpa/inet.h>

#include <stdexcept>
#include <vector>

#include "Service/common/dns/dns_registration_state.h"
#include "cross/utils/log.h"
#include "cross/utils/process_runner.h"

namespace {

constexpr const char* kHostKeytab = "/etc/krb5.keytab";
constexpr int kRecordTtl = 900;

void logLine(int line, const char* function, const std::string& text) {
  GetLog().WriteToLogFL(kDnsRegistratorModule, line, function, text.c_str());
}

// A name goes into the script as one word: no blank, control character or
// backslash may end its line or add a command.
void requireWord(const std::string& what, const std::string& text) {
  bool ok = !text.empty();
  for (unsigned char c : text) ok = ok && c > 0x20 && c != 0x7F && c != '\\' && c != '"' && c != ';';
  if (!ok) throw std::invalid_argument("nsupdate: unusable " + what + ": " + text);
}

void requireIPv4(const std::string& what, const std::string& text) {
  in_addr address;
  if (inet_pton(AF_INET, text.c_str(), &address) != 1)
    throw std::invalid_argument("nsupdate: unusable " + what + ": " + text);
}

std::string failureText(const char* program, const ProcessResult& r) {
  return std::string(program) + " failed.\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

void kdestroyLogged(const std::vector<std::string>& environment) {
  try {
    do_kdestroy(environment);
  } catch (const std::exception&) {
    logLine(__LINE__, "update_dns", "kdestroy error");
  }
}

}  // namespace

std::string NsupdateScript(const std::string& server, const std::string& realm, const std::string& record,
                           const std::string& ip) {
  requireIPv4("server", server);
  requireWord("realm", realm);
  requireWord("record", record);
  requireIPv4("address", ip);
  return "server " + server + "\nrealm " + realm + "\nupdate delete " + record + ". A\nupdate add " + record + ". " +
         std::to_string(kRecordTtl) + " A " + ip + "\nsend\n";
}

std::vector<std::string> KerberosEnvironment(const std::string& krb5Config) {
  std::vector<std::string> environment = {std::string("KRB5CCNAME=") + kKerberosCredentialCache};
  if (!krb5Config.empty()) environment.push_back("KRB5_CONFIG=" + krb5Config);
  return environment;
}

void do_kinit(const std::string& host, const std::vector<std::string>& environment) {
  // The principal is the host name followed by "\$": Kerberos reads the
  // backslash as an escape of the dollar sign.
  ProcessResult r = RunProcess({"kinit", "-k", "-t", kHostKeytab, host + "\\$"}, std::nullopt,
                               kDnsUpdateProgramTimeoutMs, true, environment);
  if (r.exitCode != 0) throw std::runtime_error(failureText("kinit", r));
}

void do_kdestroy(const std::vector<std::string>& environment) {
  ProcessResult r = RunProcess({"kdestroy"}, std::nullopt, kDnsUpdateProgramTimeoutMs, true, environment);
  if (r.exitCode != 0) throw std::runtime_error(failureText("kdestroy", r));
}

void update_dns(const std::string& ip, const std::string& record, const std::string& host,
                const std::string& krb5Config) {
  if (dns_update_server_ips.empty()) throw std::runtime_error("DNS SOA: no explicit update servers, skip nsupdate");
  if (kerberos_realm.empty()) throw std::runtime_error("DNS SOA: Kerberos realm is empty, skip nsupdate");
  // Every script is checked before a ticket is taken.
  std::vector<std::string> scripts;
  for (const std::string& server : dns_update_server_ips)
    scripts.push_back(NsupdateScript(server, kerberos_realm, record, ip));
  const std::vector<std::string> environment = KerberosEnvironment(krb5Config);
  do_kinit(host, environment);
  std::string lastError;
  try {
    for (const std::string& script : scripts) {
      ProcessResult r = RunProcess({"nsupdate", "-g"}, script, kDnsUpdateProgramTimeoutMs, true, environment);
      if (r.exitCode == 0) {
        logLine(__LINE__, "update_dns",
                "nsupdate ok. code: " + std::to_string(r.exitCode) + "\nstdin:\n" + script + "\nstdout:\n" + r.out +
                    "\nstderr:\n" + r.err + "\nhostname: " + record + "\nip: " + ip);
        kdestroyLogged(environment);
        return;
      }
      lastError = "nsupdate failed.\nstdin:\n" + script + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
      logLine(__LINE__, "update_dns", lastError);
    }
  } catch (...) {
    kdestroyLogged(environment);
    throw;
  }
  kdestroyLogged(environment);
  throw std::runtime_error(lastError.empty() ? "nsupdate failed" : lastError);
}
