// A resolver of host names for tests, in place of the machine's
// (CLumIPAddr::SetResolver): answers at once from a table, never asks a
// name server, and has names that hang until released.
#pragma once

#include <string>
#include <vector>

#include "host/Lookups.h"

namespace fake_resolver {

// Installs the fake for the whole process. It knows:
//   "localhost"                ::1 and 127.0.0.1, in that order (GetByName's
//                              preference for IPv4 is what picks 127.0.0.1);
//   names given to Add         their addresses;
//   "*.hang.invalid"           no answer until ReleaseHung (or 10 s), then
//                              EAI_AGAIN;
//   any other name             unknown (EAI_NONAME).
// The unit tests' main (tests/common/UnitTestMain.cpp) installs it.
void Install();

// The fake itself, as a CLumIPAddr::Resolver.
int Resolve(const std::string& name, CLumIPAddr::IP_FAMILY family,
            std::vector<CLumIPAddr>& addresses);

// Gives `name` the addresses `texts` (numeric texts, in that order); empty
// `texts` removes it. Thread-safe.
void Add(const std::string& name, const std::vector<std::string>& texts);

// Lets every hanging lookup go, and those started later until Hang();
// Hang() makes "*.hang.invalid" names hang again.
void ReleaseHung();
void Hang();

}  // namespace fake_resolver
