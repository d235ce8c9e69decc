// The RAID tool's drive listing and summary as RAID detection reads them
// (bmr::adapter::parseldpdinfo, bmr::platform::adapterpresent); the adapter frees its tree.
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include <velka/detectraid>

#include "internal/detectraid.h"

#include "boot_fuzz_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::list<std::string> llines = fuzz_lines(data, size);
    velka::bmr::adapterpresent(llines);
    velka::bmr::adapter a;
    a.parseldpdinfo(llines);
    for (auto* pv : a.get_virt_list()) {
        pv->get_targetid();
        for (auto* pp : pv->get_phy_list()) pp->get_media_type();
    }
    return 0;
}
