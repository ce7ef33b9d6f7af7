// What the fuzz targets share: Check, and the set-up of the entry targets
// (FuzzSupport.cpp): a scripted file server at 127.0.0.1 (fake NFS client
// library), a log writer that formats every line and drops it, and the fake
// resolver of the unit tests (tests/fakes/FakeResolver.h), which never leaves
// the process.
#pragma once

#include <cstdlib>

namespace nsbfuzz {

// A property of the code under test that must hold: a finding when not.
inline void Check(bool condition) {
    if (!condition) abort();
}

// Idempotent; call at the start of every input.
void SetUpOnce();

}  // namespace nsbfuzz
