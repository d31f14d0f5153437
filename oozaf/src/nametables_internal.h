// nametables_internal: case-insensitive text comparison shared by the name and operation tables.
#ifndef OOZAF_NAMETABLES_INTERNAL_H
#define OOZAF_NAMETABLES_INTERNAL_H

#include <string>

namespace oozaf {

// Folds ASCII upper-case letters to lower case and leaves every other byte as it is, which is
// what tolower does in the C locale, without handing it a negative char.
inline char gFoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when the NUL-terminated `a` and the whole of `b` are equal ignoring letter case. A NUL
// byte inside `b` never matches.
bool gEqualsIgnoreCase(const char* a, const std::string& b);

} // namespace oozaf

#endif
