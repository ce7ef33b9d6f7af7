// Ordering of the names one level below a browse path.
#pragma once

#include <list>     // std::list
#include <string>   // std::string

// True when `a` orders strictly before `b`: byte-wise lexicographic order
// after folding each byte through tolower, a proper prefix first. Texts that
// differ only in letter case are equivalent.
bool CompareNoCase(const std::string& a, const std::string& b);

// Puts a child-name list in the order the browse returns it: a stable sort
// with CompareNoCase, then removal of each name equal byte for byte to its
// predecessor. Names differing only in case are all kept, in input order.
void OrderChildNames(std::list<std::string>& names);
