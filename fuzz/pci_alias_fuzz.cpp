// modules.alias text, line by line, through the alias line parser the driver engine uses, and
// each parsed pattern through the matching rule against a few functions.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <velka/pci>

#include "internal/pci.h"

namespace {

velka::pci::pci makedevice(unsigned int v, unsigned int d, unsigned int cls) {
    velka::pci::pci p(nullptr);
    p.set_vendorid(v);
    p.set_deviceid(d);
    p.set_ssvendorid(v);
    p.set_ssdeviceid(d);
    p.set_class(cls);
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const velka::pci::pci adevices[] = {
        makedevice(0x8086, 0x10d3, 0x020000),
        makedevice(0x1af4, 0x1041, 0xffff00),
        makedevice(0, 0, 0x0c0320),
    };
    const char* p = reinterpret_cast<const char*>(data);
    const char* pend = p + size;
    velka::pci::pci pattern(nullptr);
    std::string spattern, smodule;
    while (p < pend) {
        const char* pnl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(pend - p)));
        const char* pe = pnl == nullptr ? pend : pnl;
        int iret =
            velka::pci::parse_aliasline(p, static_cast<size_t>(pe - p), pattern, spattern, smodule);
        if (iret == 0) {
            if (pattern.get_class() > 0xFFFFFF) __builtin_trap();
            for (const auto& dev : adevices) {
                bool b = dev.compatiable(pattern);
                if (b && !dev.match(pattern)) __builtin_trap();
            }
        } else if (iret == -1 && spattern.compare(0, 4, "pci:") != 0) {
            __builtin_trap();
        }
        p = pnl == nullptr ? pend : pnl + 1;
    }
    return 0;
}
