// The XML entry's side of the harness: the console's browse request, and
// the failure a GenericResp carries. For the tests and the benchmarks.
#pragma once

#include <string>

#include "host/BrowseMessageFields.h"  // App::REQ_*, App::GENERIC_*
#include "host/MessageBase.h"          // App::MachineBrowseReq, App::GenericResp

namespace nsbtest {

// NASShareXMLBrowse: linked, or looked up in the plug-in with dlsym.
typedef void (*XmlEntry)(App::MachineBrowseReq*, App::MachineBrowseResp*, App::GenericResp*);

// The request the console sends to browse `path` (as the GUI would send it)
// on `server`, for client `clientId`.
inline App::MachineBrowseReq MakeXmlBrowseRequest(const std::string& server,
                                                  const std::string& path,
                                                  unsigned long clientId = 2) {
    App::MachineBrowseReq request;
    const unsigned long cls = App::CLASS_MACHINE_BROWSE_REQ;
    request.setstring(App::REQ_PATH.field, App::REQ_PATH.secondIndex, path, cls, App::REQ_PATH.id);
    request.setstring(App::REQ_INTERFACE_NAME.field, App::REQ_INTERFACE_NAME.secondIndex, server,
                      cls, App::REQ_INTERFACE_NAME.id);
    request.setint64(App::REQ_CLIENT_ID.field, App::REQ_CLIENT_ID.secondIndex,
                     static_cast<long long>(clientId), cls, App::REQ_CLIENT_ID.id);
    return request;
}

// True, with the worded failure in `message`, when `generic` holds one.
inline bool FailureOf(const App::GenericResp& generic, std::string& message) {
    if (!generic.isSet(App::GENERIC_MESSAGE.field, App::CLASS_GENERIC_RESP,
                       App::GENERIC_MESSAGE.id))
        return false;
    message = generic.getstring(App::GENERIC_MESSAGE.field, App::GENERIC_MESSAGE.secondIndex,
                                App::CLASS_GENERIC_RESP, App::GENERIC_MESSAGE.id);
    return true;
}

}  // namespace nsbtest
