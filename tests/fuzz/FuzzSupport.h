// Shared set-up of the entry fuzz targets: a scripted file server at
// 127.0.0.1 (fake NFS client library), a log writer that formats every line
// and drops it, and the fake resolver of the unit tests
// (tests/fakes/FakeResolver.h), which never leaves the process.
#pragma once

namespace nsbfuzz {

// Idempotent; call at the start of every input.
void SetUpOnce();

}  // namespace nsbfuzz
