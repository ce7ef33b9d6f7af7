// Thin wrappers that call the NFS client library and collect what it reports.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/NFSClient.h"

namespace nfsclienttest {

struct ExportsResult {
    int rc = -1;
    std::vector<std::string> paths;
    std::string error;
};

struct Entry {
    std::string name;
    uint32_t type = 0;
    uint32_t mode = 0;
    uint64_t size = 0;
    uint64_t writeTime = 0;
};

struct ListResult {
    int rc = -1;
    std::vector<Entry> entries;
    std::string error;
};

// The names of a listing's entries, in the order they came.
inline std::vector<std::string> Names(const ListResult& result) {
    std::vector<std::string> names;
    for (const Entry& e : result.entries) names.push_back(e.name);
    return names;
}

// What the listing callback does once `stopAfter` entries were received.
enum class Then { Continue, ReturnFalse, Throw };

// The text in an error buffer, or a marker when the library left it unterminated.
// Expects `result` (an ExportsResult or a ListResult) to have failed with a
// text that holds each of `words`; returns it for further checks.
template <class Result>
Result ExpectFailed(Result result, std::initializer_list<std::string> words) {
    EXPECT_NE(result.rc, 0) << result.error;
    for (const std::string& word : words) EXPECT_THAT(result.error, testing::HasSubstr(word));
    return result;
}

inline std::string ErrorText(const char* buffer, size_t size) {
    return memchr(buffer, '\0', size) != nullptr ? std::string(buffer)
                                                 : std::string("<error text not NUL-terminated>");
}

inline ExportsResult ListExports(const std::string& address) {
    ExportsResult result;
    char error[NFS_ERROR_TEXT_SIZE];
    memset(error, 'x', sizeof error);  // the library must terminate what it writes
    result.rc = GetExports(
        address.c_str(), &result.paths,
        [](void* context, const char* path) {
            static_cast<std::vector<std::string>*>(context)->emplace_back(path);
            return true;
        },
        error);
    if (result.rc != 0) result.error = ErrorText(error, sizeof error);
    return result;
}

struct ListState {
    ListResult* result;
    size_t stopAfter;
    Then then;
};

inline bool OnEntry(void* context, void* itemInfo, unsigned long long, bool, bool&) {
    auto* state = static_cast<ListState*>(context);
    if (state->result->entries.size() >= state->stopAfter) {
        if (state->then == Then::Throw) throw std::runtime_error("receiver failed");
        if (state->then == Then::ReturnFalse) return false;
    }
    const auto* info = static_cast<const NFSItemInfo*>(itemInfo);
    state->result->entries.push_back(
        {info->name, info->type, info->mode, info->size, info->writeTime});
    return true;
}

inline ListResult List(const std::string& address, const std::string& path,
                       size_t stopAfter = SIZE_MAX, Then then = Then::Continue) {
    ListResult result;
    ListState state{&result, stopAfter, then};
    char error[NFS_ERROR_TEXT_SIZE];
    memset(error, 'x', sizeof error);
    result.rc = DoNFSLiveBrowse(address.c_str(), path.c_str(), &state, &OnEntry, 0, 0, 1, error);
    if (result.rc != 0) result.error = ErrorText(error, sizeof error);
    return result;
}

// Restores the library's timeout setting when a test ends.
class TimeoutGuard {
public:
    explicit TimeoutGuard(unsigned int ms) : m_saved(NFSClientGetTimeoutMs()) {
        NFSClientSetTimeoutMs(ms);
    }
    ~TimeoutGuard() { NFSClientSetTimeoutMs(m_saved); }
    TimeoutGuard(const TimeoutGuard&) = delete;
    TimeoutGuard& operator=(const TimeoutGuard&) = delete;

private:
    unsigned int m_saved;
};

}  // namespace nfsclienttest
