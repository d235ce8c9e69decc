// modules.pcimap text, line by line, through the pcimap line parser the driver engine uses,
// and each pattern through the class-mask matching rule against a few functions.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <velka/pci>

#include "internal/pci.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velka::pci::pci dev(nullptr);
    dev.set_vendorid(0x8086);
    dev.set_deviceid(0x1c26);
    dev.set_ssvendorid(0x103c);
    dev.set_ssdeviceid(0x330d);
    dev.set_class(0x0c0320);
    const char* p = reinterpret_cast<const char*>(data);
    const char* pend = p + size;
    velka::pci::pci pattern(nullptr);
    std::string smodule;
    while (p < pend) {
        const char* pnl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(pend - p)));
        const char* pe = pnl == nullptr ? pend : pnl;
        if (velka::pci::parse_pcimapline(std::string(p, pe), pattern, smodule) == 0) {
            bool bequal = dev == pattern;
            if (bequal && !dev.match(pattern)) __builtin_trap();
        }
        p = pnl == nullptr ? pend : pnl + 1;
    }
    return 0;
}
