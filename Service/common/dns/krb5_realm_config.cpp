#include "Service/common/dns/krb5_realm_config.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <stdexcept>

#include "Service/common/dns/dns_text.h"

namespace {

constexpr const char* kSystemConfig = "/etc/krb5.conf";

// The realm goes into the file as one value: nothing in it may open a
// section, end the line or start a comment.
bool isRealmWord(const std::string& realm) {
  if (realm.empty()) return false;
  for (unsigned char c : realm)
    if (!isalnum(c) && c != '.' && c != '-' && c != '_') return false;
  return true;
}

// Removes the file and throws, with errno as the failing call left it.
[[noreturn]] void dropAndThrow(const char* path, const char* what) {
  int e = errno;
  unlink(path);
  errno = e;
  throw_errno(what);
}

}  // namespace

DerivedRealmConfig::DerivedRealmConfig(const std::string& realm) {
  if (!isRealmWord(realm)) throw std::runtime_error("krb5: unusable realm: " + realm);
  char name[] = "/tmp/krb5_vpn_daemon_conf.XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) throw_errno("mkstemp(krb5 realm config)");
  std::string text = "[libdefaults]\n\tdefault_realm = " + realm + "\n";
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      close(fd);
      dropAndThrow(name, "write(krb5 realm config)");
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) dropAndThrow(name, "close(krb5 realm config)");
  const char* standing = getenv("KRB5_CONFIG");
  file = name;
  list = file + ":" + (standing != nullptr ? standing : kSystemConfig);
}

DerivedRealmConfig::~DerivedRealmConfig() { unlink(file.c_str()); }
