// smartctl's attribute table and health verdict as the SMART module reads them
// (smartctl::parseparams, smartctl::parseoverallhealth), then the unhealthy attributes.
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include <velka/smartctl>

#include "boot_fuzz_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::list<std::string> llines = fuzz_lines(data, size);
    velka::smartctl::smartctl disk("/dev/sda", nullptr);
    disk.parseoverallhealth(llines);
    disk.parseparams(llines);
    std::list<velka::smartctl::param> lfaulty;
    disk.getfaultyattrs(lfaulty);
    return 0;
}
