// The copy of udevadm's property lines into a udev database entry, on arbitrary output: the
// text is cut into lines as the command runner returns them, then turned into entry lines.
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include <velka/udev>

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
    int iret = velka::udev::udev::entrylines(loutput, lentry);
    if (iret == 0 && lentry.size() != loutput.size()) __builtin_trap();
    if (iret != 0 && !lentry.empty()) __builtin_trap();
    for (const std::string& s : lentry) {
        if (!s.empty() && (s.front() == ' ' || s.back() == '\r' || s.back() == '\t'))
            __builtin_trap();
    }
    return 0;
}
