// The dhclient lease-file parser of the network-boot environment (pxeboot::parseleaselines),
// asked for the interfaces the seeds name: a lease it returns is always the asked interface's.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <velka/pxeboot>

#include "internal/pxeboot.h"

#include "boot_fuzz_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::list<std::string> llines = fuzz_lines(data, size);
    for (const char* sintfx : {"eth0", "wlan0", "wlp3s0"}) {
        std::map<std::string, std::string> kvmap;
        velka::pxeboot::parseleaselines(llines, sintfx, kvmap, nullptr);
        if (!kvmap.empty() && kvmap["interface"] != sintfx) __builtin_trap();
    }
    return 0;
}
