// The copy of udevadm's property lines into a udev database entry, on arbitrary output: the
// text is cut into lines as the command runner returns them, then turned into entry lines,
// each an "E:KEY=value" property of udev's database format.
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include <velka/udev>

#include "internal/udev.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string stext(reinterpret_cast<const char*>(data), size);
    std::list<std::string> loutput, lentry;
    size_t p = 0;
    while (p <= stext.size()) {
        size_t e = stext.find('\n', p);
        if (e == std::string::npos) e = stext.size();
        loutput.push_back(stext.substr(p, e - p));
        p = e + 1;
    }
    int iret = velka::udev::entrylines(loutput, lentry);
    if (iret == 0 && (lentry.empty() || lentry.size() > loutput.size())) __builtin_trap();
    if (iret != 0 && !lentry.empty()) __builtin_trap();
    for (const std::string& s : lentry) {
        size_t upos = s.find('=');
        if (s.compare(0, 2, "E:") != 0 || upos == std::string::npos || upos < 3) __builtin_trap();
        if (s.find_first_of(" \t") < upos || s.find('\n') != std::string::npos) __builtin_trap();
        if (s.back() == ' ' || s.back() == '\r' || s.back() == '\t') __builtin_trap();
    }
    return 0;
}
