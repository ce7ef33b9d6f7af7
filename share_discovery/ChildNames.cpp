#include "share_discovery/ChildNames.h"

#include <cctype>   // tolower

bool CompareNoCase(const std::string& a, const std::string& b) {
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
        const int x = tolower(static_cast<unsigned char>(a[i]));
        const int y = tolower(static_cast<unsigned char>(b[i]));
        if (x < y) return true;
        if (y < x) return false;
    }
    return a.size() < b.size();
}

void OrderChildNames(std::list<std::string>& names) {
    names.sort(CompareNoCase);  // std::list::sort is stable
    names.unique();             // exact equality of neighbours
}
