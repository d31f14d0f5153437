// fuzz_support: small pieces the fuzz targets share.
#ifndef ORX_FUZZ_SUPPORT_H
#define ORX_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace orxfuzz {

// Ends the run as a finding when a property the target checks does not hold.
inline void require(bool condition) {
    if (!condition)
        std::abort();
}

// The words of an argument list: the input split at NUL bytes (an empty input has none).
inline std::vector<std::string> splitAtNul(const uint8_t* data, size_t size) {
    std::vector<std::string> words;
    if (size == 0)
        return words;
    words.emplace_back();
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back() += static_cast<char>(data[i]);
    }
    return words;
}

// argv pointers into `words`, which must outlive them.
inline std::vector<const char*> argvOf(const std::vector<std::string>& words) {
    std::vector<const char*> argv;
    argv.reserve(words.size());
    for (const std::string& word : words)
        argv.push_back(word.c_str());
    return argv;
}

} // namespace orxfuzz

#endif
