// LVM report text through the parsers the volume manager uses: the extent count of the free
// and allocated queries (the whole output, digits only or no count), and the group, volume and
// group-of-a-volume answers (the output as trimmed lines, as the line reader hands them over).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <list>
#include <string>

#include <velka/lvm>
#include <velka/utilities>

#include "internal/lvm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using velka::lvm::lvm;
    std::string stext(reinterpret_cast<const char*>(data), size);

    // A count is the whole output made of digits; anything else leaves the count untouched.
    unsigned long long ull = 7;
    bool bcount = velka::lvm::parseextents(stext, ull);
    std::string strimmed = velka::utilities::utilities::trim(stext);
    if (!bcount && ull != 7) __builtin_trap();
    if (bcount &&
        (strimmed.empty() || strimmed.find_first_not_of("0123456789") != std::string::npos))
        __builtin_trap();
    if (ull > static_cast<unsigned long long>(std::numeric_limits<long>::max())) __builtin_trap();

    std::list<std::string> llines;
    const char* p = stext.data();
    const char* pend = p + stext.size();
    while (p < pend) {
        const char* pnl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(pend - p)));
        const char* pe = pnl == nullptr ? pend : pnl;
        llines.push_back(velka::utilities::utilities::trim(std::string(p, pe)));
        p = pnl == nullptr ? pend : pnl + 1;
    }
    std::list<std::string> lnames;
    velka::lvm::parsenames(llines, lnames);
    if (lnames.size() > llines.size()) __builtin_trap();
    for (const auto& s : lnames)
        if (s.empty()) __builtin_trap();
    std::string sfirst = "unset";
    bool bfound = velka::lvm::parsefirst(llines, sfirst);
    if (bfound != !llines.empty()) __builtin_trap();
    if (bfound && sfirst != llines.front()) __builtin_trap();
    if (!bfound && sfirst != "unset") __builtin_trap();
    return 0;
}
