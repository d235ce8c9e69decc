// popen's splitting of a command's output into lines, on arbitrary bytes: no piece is longer
// than 4095 bytes or holds a newline, and no byte other than white space is lost.
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include <velka/utilities>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string stext(reinterpret_cast<const char*>(data), size);
    std::list<std::string> l;
    velka::utilities::utilities::splitlines(stext, l);
    size_t ukept = 0;
    for (const auto& s : l) {
        if (s.size() > 4095 || s.find('\n') != std::string::npos) __builtin_trap();
        ukept += s.size();
    }
    size_t uwhite = 0;
    for (char c : stext)
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') ++uwhite;
    if (ukept + uwhite < stext.size()) __builtin_trap();
    return 0;
}
