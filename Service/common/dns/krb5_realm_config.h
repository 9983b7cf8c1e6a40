#pragma once
// The realm of the registration's Kerberos programs when /etc/krb5.conf
// names none: a file of its own holding "[libdefaults] default_realm" of the
// realm taken from the host name, read by kinit, nsupdate and kdestroy ahead
// of their usual configuration (KRB5_CONFIG) while this object lives.
#include <string>

class DerivedRealmConfig {
 public:
  // Writes the file (a fresh one in /tmp, mode 0600) and sets KRB5_CONFIG to
  // it, followed by what the programs read otherwise (KRB5_CONFIG as it
  // stood, else /etc/krb5.conf). Throws std::runtime_error for a realm that
  // is not one word of letters, digits, '.', '-' and '_', or when the file
  // cannot be written.
  explicit DerivedRealmConfig(const std::string& realm);
  // KRB5_CONFIG as it stood before; the file removed.
  ~DerivedRealmConfig();
  DerivedRealmConfig(const DerivedRealmConfig&) = delete;
  DerivedRealmConfig& operator=(const DerivedRealmConfig&) = delete;

  const std::string& path() const { return file; }

 private:
  std::string file;
  bool hadPrevious = false;
  std::string previous;
};
