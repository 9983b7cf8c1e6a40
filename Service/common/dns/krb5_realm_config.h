#pragma once
// The realm of the registration's Kerberos programs when /etc/krb5.conf
// names none: a file of its own holding "[libdefaults] default_realm" of the
// realm taken from the host name, read by kinit, nsupdate and kdestroy ahead
// of their usual configuration while this object lives.
#include <string>

class DerivedRealmConfig {
 public:
  // Writes the file (a fresh one in /tmp, mode 0600). Throws
  // std::runtime_error for a realm that is not one word of letters, digits,
  // '.', '-' and '_', or when the file cannot be written.
  explicit DerivedRealmConfig(const std::string& realm);
  // The file removed.
  ~DerivedRealmConfig();
  DerivedRealmConfig(const DerivedRealmConfig&) = delete;
  DerivedRealmConfig& operator=(const DerivedRealmConfig&) = delete;

  const std::string& path() const { return file; }
  // The programs' KRB5_CONFIG: the file, followed by what they read
  // otherwise (the daemon's KRB5_CONFIG, else /etc/krb5.conf).
  const std::string& searchList() const { return list; }

 private:
  std::string file;
  std::string list;
};
