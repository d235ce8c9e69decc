// Sysfs bus-id names (domain:bus:device.function) through the parser and the directory filter
// of the PCI scan.
#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <velka/pci>

#include "internal/pci.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string sname(reinterpret_cast<const char*>(data), size);
    velka::pci::pci_loc loc;
    if (velka::pci::parse_busid(sname.c_str(), loc) == 0) {
        unsigned int uibusid = loc.busid();
        if (uibusid > 0xFFFF) __builtin_trap();
    }
    struct dirent ent;
    memset(&ent, 0, sizeof(ent));
    memcpy(ent.d_name, data, size < sizeof(ent.d_name) - 1 ? size : sizeof(ent.d_name) - 1);
    int iselected = velka::pci::select(&ent);
    if (iselected == 1) {
        const struct dirent* pent = &ent;
        if (velka::pci::sort(&pent, &pent) != 0) __builtin_trap();
    }
    return 0;
}
