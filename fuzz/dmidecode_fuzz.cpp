// dmidecode's System Information block as RAID detection reads it
// (bmr::platform::parseplatformname).
#include <cstddef>
#include <cstdint>
#include <string>

#include <velka/detectraid>

#include "internal/detectraid.h"

#include "boot_fuzz_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string sname;
    velka::bmr::parseplatformname(fuzz_lines(data, size), sname, nullptr);
    return 0;
}
