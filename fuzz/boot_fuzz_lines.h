// Input of the fuzz targets of line-oriented parsers: the bytes split at newlines, as the
// library's readers hand lines over (the newline removed, everything else kept).
#ifndef VELKA_BOOT_FUZZ_LINES_H
#define VELKA_BOOT_FUZZ_LINES_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

inline std::list<std::string> fuzz_lines(const uint8_t* data, size_t size) {
    std::list<std::string> l;
    std::string s(reinterpret_cast<const char*>(data), size);
    size_t b = 0;
    while (b <= s.size()) {
        size_t e = s.find('\n', b);
        if (e == std::string::npos) e = s.size();
        l.push_back(s.substr(b, e - b));
        b = e + 1;
    }
    return l;
}

#endif
