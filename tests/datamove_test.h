// Shared by the copy and archiver tests: the shared log capture and file contents that differ
// at every offset.
#ifndef VELKA_TESTS_DATAMOVE_TEST_H
#define VELKA_TESTS_DATAMOVE_TEST_H

#include <cstdint>
#include <string>

#include <velka/logger>

#include "logcapture.h"
#include "velka_test.h"

namespace datamove_test {

using velka_test::logcapture;

inline bool contains(const std::string& stext, const std::string& spart) {
    return stext.find(spart) != std::string::npos;
}

// Bytes that differ at every offset, so a misplaced or repeated extent shows.
inline std::string pattern(size_t ulen, uint64_t useed) {
    std::string s(ulen, '\0');
    uint64_t x = useed * 2654435761u + 1;
    for (size_t i = 0; i < ulen; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x);
    }
    return s;
}

}  // namespace datamove_test

#endif
