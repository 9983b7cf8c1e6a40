#pragma once
// DNS search suffixes of NetworkManager connection profiles, through libnm.
// Every call opens its own client on a private main context, waits there for
// the commits and reapplies it starts (each wait bounded), and releases the
// client before it returns; nothing is kept between calls.
#include <list>
#include <map>
#include <string>

// One connection's IPv4 DNS search list, in its own order.
using SuffixList = std::list<std::string>;
// Connection id (the profile's human-readable name) -> its search list.
using PreviousSuffixMap = std::map<std::string, SuffixList>;

// Puts suffixes (empty texts left out) on every eligible active connection,
// saves each profile to disk and reapplies it on its device. Returns the
// previous list of every connection it processed; empty when there was
// nothing to do or NetworkManager could not be reached (nothing changed).
PreviousSuffixMap SetSuffixForAllActive(const SuffixList& suffixes);

// The search list of every connection that SetSuffixForAllActive would
// change now, read without changing anything; empty when NetworkManager
// could not be reached.
PreviousSuffixMap GetSuffixesOfAllActive();

// Puts the saved lists back on the profiles with those ids (a missing profile
// or one without IPv4 setting is passed over). 0 when nothing was to be done
// or every commit succeeded; 1 when NetworkManager could not be reached or a
// commit failed, so that the caller keeps its saved lists.
int RestoreOldSuffixes(const PreviousSuffixMap& saved);
