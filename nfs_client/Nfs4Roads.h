// The export list and the directory listing over NFSv4.0.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/NFSClient.h"
#include "nfs_client/Nfs4.h"

namespace nfsclient {

// Finds the exports of a server without MOUNT by walking its NFSv4 pseudo
// file system breadth first from the root, several directories at once, all
// within one overall limit of the timeout setting. An entry whose file-system
// id differs from its directory's is an export root and is not entered; so
// is an entry the server could not describe (RDATTR_ERROR, e.g. an export
// that needs Kerberos). A directory that holds anything other than
// directories is part of a real file system: the root then gives "/". An
// export nested inside another export is not found (its parent is not
// entered). Paths are reported in byte order, each once. Depth, number of
// directories and time are bounded; a walk cut short by a bound fails with a
// text saying so rather than reporting part of the list. `visit` returning
// false ends the report early, which is not a failure.
bool ReadV4Exports(Nfs4Session& session, const std::function<bool(const char*)>& visit);

// Lists the directory `components` of the server: LOOKUPs from the root (in
// as many COMPOUNDs as the path needs), then READDIR page by page, each entry
// handed to `callback` as its page arrives, with the fields and texts of the
// NFSv3 road. `directory` names the path in error texts.
bool ListV4(Nfs4Session& session, std::vector<std::string> components, const std::string& directory,
            void* context, LiveBrowseCallback callback);

}  // namespace nfsclient
