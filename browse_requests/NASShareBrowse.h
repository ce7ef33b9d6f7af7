// The plug-in's browse entries, looked up by name by the host, and the
// browse drivers behind them.
#pragma once

#include <string>  // std::string
#include <vector>  // std::vector

#include "host/BrowseMessageFields.h"  // TAG_* of a network browse message
#include "host/LumError.h"             // CLumError
#include "host/Message.h"              // MessageInfo
#include "host/MessageBase.h"          // App::*
#include "host/Platform.h"             // NASSB_API
#include "plumbing/EvRestoreReturn.h"  // EvRestoreReturn, COrvNetwork

extern "C" {

// Answers a browse message from the desktop GUI on the request's socket:
// browse items or one failure message, then the end marker. `path` is the
// browse path as the GUI sent it; "/" or two backslashes ask for the root,
// whose answer is the file server itself. Runs on the caller's thread.
NASSB_API void NASShareBrowse(MessageInfo* message, char* path, unsigned long clientId, int,
                              COrvNetwork* network);

// Answers a browse request from the administrative console: results are
// appended to the response's item list, a failure goes to `genericResp`.
NASSB_API void NASShareXMLBrowse(App::MachineBrowseReq* request, App::MachineBrowseResp* response,
                                 App::GenericResp* genericResp);

}  // extern "C"

// Writes the export children of `browsePath` and, inside an export, its live
// listing to `reply`, or one worded failure message; then ends `reply`.
// `browsePath` is below the file server ("" for its top level).
NASSB_API CLumError NASNFSSharebrowse(long long sequenceNumber, unsigned long vessaCellId,
                                      unsigned long clientId, const std::string& interfaceName,
                                      const std::string& browsePath, EvRestoreReturn* reply);

// CIFS shares cannot be browsed on this platform: always fails with Win32 error 50.
NASSB_API CLumError NASCIFSSharebrowse(long long sequenceNumber, unsigned long vessaCellId,
                                       unsigned long clientId, const std::string& serverName,
                                       const std::string& requestPath,
                                       const std::string& browsePath, const std::string& userName,
                                       const std::string& password, EvRestoreReturn* reply);

// As NASNFSSharebrowse, appending results to `browseItems`; a share-list
// failure is reported in `genericResp` when it is not null.
NASSB_API CLumError NASNFSShareXMLbrowse(unsigned long vessaCellId, unsigned long clientId,
                                         const std::string& interfaceName,
                                         const std::string& browsePath,
                                         std::vector<App::MachineBrowseItem>* browseItems,
                                         App::GenericResp* genericResp);

// CIFS shares cannot be browsed on this platform: always fails with Win32 error 50.
NASSB_API CLumError NASCIFSShareXMLbrowse(unsigned long vessaCellId, unsigned long clientId,
                                          const std::string& serverName,
                                          const std::string& requestPath,
                                          const std::string& browsePath,
                                          const std::string& userName, const std::string& password,
                                          std::vector<App::MachineBrowseItem>* browseItems,
                                          App::GenericResp* genericResp);
