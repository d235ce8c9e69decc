// The dhclient lease-file parser of the network-boot environment (pxeboot::parseleaselines).
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <velka/pxeboot>

#include "boot_fuzz_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::map<std::string, std::string> kvmap;
    velka::pxeboot::pxeboot::parseleaselines(fuzz_lines(data, size), kvmap, nullptr);
    return 0;
}
