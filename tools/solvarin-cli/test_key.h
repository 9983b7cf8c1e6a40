#pragma once
// The test key material of certificate profiles: a fixed private key, and
// the subject that goes with it.
#include <vector>

extern const char kTestSubject[];
// The SYN request's signature material of the test key: its 64-byte public
// key, then the subject.
std::vector<unsigned char> TestKeyMaterial();
