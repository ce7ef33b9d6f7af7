// Server paths: normalising a requested directory and choosing its export.
#pragma once

#include <string>
#include <vector>

namespace nfsclient {

// Splits an absolute server path into its components, dropping empty and "."
// components ("//a/./b/" gives {"a", "b"}). Refuses, with a reason in `why`, a
// null, empty or relative path and any ".." component: a listing never walks
// upwards, so it cannot leave the export its path names.
bool SplitServerPath(const char* path, std::vector<std::string>& components, std::string& why);

// "/" followed by the components joined with "/" ("/" for none).
std::string JoinServerPath(const std::vector<std::string>& components);

// Index in `exports` of the export holding the directory `components`: the
// longest export path that equals it or is a prefix of it at a component
// boundary ("/" holds everything). Export paths are compared after the same
// normalisation; ones that do not normalise are skipped. -1 when none holds
// it. `depth` receives the number of components the export path covers.
int ChooseExport(const std::vector<std::string>& components,
                 const std::vector<std::string>& exports, size_t& depth);

}  // namespace nfsclient
