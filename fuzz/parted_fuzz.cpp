// Feeds arbitrary text to the reader of parted's machine-readable partition listing, split
// into trimmed lines as the command helper hands them over.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <velka/blkdev>
#include <velka/utilities>

#include "internal/blkdev.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string stext(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> vlines;
    std::string::size_type ipos = 0;
    while (ipos < stext.size()) {
        std::string::size_type iend = stext.find('\n', ipos);
        if (iend == std::string::npos) iend = stext.size();
        vlines.push_back(velka::utilities::utilities::trim(stext.substr(ipos, iend - ipos)));
        ipos = iend + 1;
    }
    std::vector<velka::blkdev::partitioninfo> vparts;
    int icount = velka::blkdev::parsepartitionlisting(vlines, vparts, nullptr);
    if (icount < 0 || static_cast<size_t>(icount) != vparts.size()) __builtin_trap();
    for (const auto& part : vparts) {
        if (part.m_partitionnum <= 0 || part.m_start.empty() || part.m_end.empty() ||
            part.m_size.empty())
            __builtin_trap();
    }
    return 0;
}
