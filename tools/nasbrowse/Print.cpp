#include <cstdio>
#include <string>

#include "nasbrowse/Commands.h"
#include "nasbrowse/Output.h"

namespace nasbrowse {
namespace {

void Write(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

}  // namespace

int PrintBrowse(const CommonOptions& options, const std::string& server, const std::string& path,
                const std::string& via, const BrowseResult& result, double elapsedSeconds) {
    switch (options.format) {
        case Format::Json: Write(BrowseJson(server, path, result) + "\n"); break;
        case Format::Xml: Write(BrowseXml(server, path, via, result)); break;
        case Format::Table: Write(BrowseTable(server, path, result, elapsedSeconds)); break;
    }
    return result.error.failed ? 1 : 0;
}

int PrintExports(const CommonOptions& options, const std::string& server,
                 const ExportsResult& result, double elapsedSeconds) {
    if (options.format == Format::Json)
        Write(ExportsJson(server, result) + "\n");
    else
        Write(ExportsTable(server, result, elapsedSeconds));
    return result.error.failed ? 1 : 0;
}

}  // namespace nasbrowse
