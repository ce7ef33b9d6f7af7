// Call sites in our own code outside the plug-in: the host framework, the
// NFS client library and the tools. Their log lines and error locations name
// the function as the compiler spells it, so that no signature text is kept
// by hand and none can drift from the code.
//
// Never for the plug-in's objects: their signature texts are part of the
// system's contract and stay literal (plumbing/PluginTexts.h).
#pragma once

#include "host/LogWriter.h"  // NSB_LOG
#include "host/LumError.h"   // FXCodeLocation

// NSB_LOG under the enclosing function's signature, from the compiler.
#define NSB_LOG_HERE(level, ...) NSB_LOG((level), __PRETTY_FUNCTION__, __VA_ARGS__)

// The FXCodeLocation of this line: the file's name, the function's
// signature and the line, all from the compiler.
#define NSB_HERE FXCodeLocation(__FILE_NAME__, __PRETTY_FUNCTION__, __LINE__)
