// What a browse or an export-list command obtained, whatever road it took.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nasbrowse {

struct Item {
    std::string name;  // bytes as answered
    bool folder = false;
    uint64_t mtime = 0;  // seconds since the epoch; 0 when the answer has none
    int64_t size = 0;    // bytes
};

struct Failure {
    bool failed = false;
    bool hasCode = false;  // the xml road carries a Win32 code, the gui road none
    long long code = 0;
    std::string message;
};

struct ExportsResult {
    std::vector<std::string> shares;
    Failure error;
};

}  // namespace nasbrowse
