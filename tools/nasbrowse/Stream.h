// Reading a reply stream item by item into a presenter: for the GUI road
// (the plug-in writes on a socketpair) and for `request` (the daemon writes
// on a TCP connection).
#pragma once

#include <cstddef>
#include <string>

#include "nasbrowse/Output.h"
#include "nasbrowse/Result.h"

namespace nasbrowse {

struct StreamOutcome {
    Failure failure;            // the reply's failure message, or why it could not be read
    bool outputFailed = false;  // the output stopped taking bytes; reading stopped there
    bool gotHeader = false;     // any record came
};

// Reads `fd` until the reply's end marker (or end of input), decodes what
// arrives, hands each item to `presenter` at once and flushes `out` after
// each read, so that the items show as they come while memory stays flat.
// Gives up when no byte comes for `idleTimeoutMs`. `source` names the
// writer in error texts ("the plug-in's reply").
StreamOutcome StreamReply(int fd, unsigned int idleTimeoutMs, const std::string& source,
                          Presenter& presenter, OutputStream& out);

}  // namespace nasbrowse
