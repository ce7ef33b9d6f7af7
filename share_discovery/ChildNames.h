// Ordering of the names one level below a browse path.
#pragma once

#include <list>    // std::list
#include <string>  // std::string

// The letter-case folding CompareNoCase compares through: tolower of every
// byte value, in the C library's locale when it is made. Make one per
// ordering, so that a sort of many names does not call into the C library
// for every byte it compares.
struct CaseFolding {
    CaseFolding();
    unsigned char fold[256];
};

// True when `a` orders strictly before `b`: byte-wise lexicographic order
// after folding each byte through tolower (`folding`, or one made for the
// call), a proper prefix first. Texts that differ only in letter case are
// equivalent.
bool CompareNoCase(const std::string& a, const std::string& b, const CaseFolding& folding);
bool CompareNoCase(const std::string& a, const std::string& b);

// Puts a child-name list in the order the browse returns it: a stable sort
// with CompareNoCase, then removal of each name equal byte for byte to its
// predecessor. Names differing only in case are all kept, in input order.
void OrderChildNames(std::list<std::string>& names);
