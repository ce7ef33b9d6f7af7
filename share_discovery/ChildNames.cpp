#include "share_discovery/ChildNames.h"

#include <algorithm>  // std::stable_sort, std::unique
#include <cctype>     // tolower
#include <iterator>   // std::make_move_iterator
#include <vector>     // std::vector

CaseFolding::CaseFolding() {
    for (int c = 0; c < 256; ++c) fold[c] = static_cast<unsigned char>(tolower(c));
}

bool CompareNoCase(const std::string& a, const std::string& b, const CaseFolding& folding) {
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
        const unsigned char x = folding.fold[static_cast<unsigned char>(a[i])];
        const unsigned char y = folding.fold[static_cast<unsigned char>(b[i])];
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

bool CompareNoCase(const std::string& a, const std::string& b) {
    return CompareNoCase(a, b, CaseFolding());
}

void OrderChildNames(std::list<std::string>& names) {
    // Sorting contiguous names is several times faster than sorting list
    // nodes; the order is the same.
    std::vector<std::string> sorted(std::make_move_iterator(names.begin()),
                                    std::make_move_iterator(names.end()));
    const CaseFolding folding;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [&folding](const std::string& a, const std::string& b) {
                         return CompareNoCase(a, b, folding);
                     });
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    names.assign(std::make_move_iterator(sorted.begin()), std::make_move_iterator(sorted.end()));
}
