// The VPD page decoders (supported pages, unit serial number, block device characteristics,
// logical block provisioning) and the queue/scheduler line decoder, on arbitrary bytes. The
// extractors hand the decoders at most 128 received bytes; any length is accepted here.
#include <cstddef>
#include <cstdint>
#include <string>

#include <velka/blkdev>

#include "internal/blkdev.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using velka::blkdev::blkdevparams;
    std::string sserial = velka::blkdev::decodeserial(data, size);
    if (sserial.size() + 4 > size && !sserial.empty()) __builtin_trap();
    velka::scsi::vpdinfo info = velka::blkdev::decodevpdpages(data, size);
    (void)info;
    int irate = velka::blkdev::decoderotationrate(data, size);
    if (irate < 0 || irate > 0xFFFF) __builtin_trap();
    bool bunmap = false, bsamewrite = false;
    velka::blkdev::decodeprovisioning(data, size, bunmap, bsamewrite);
    std::string sname;
    if (velka::blkdev::decodescheduler(std::string(reinterpret_cast<const char*>(data), size),
                                       sname) &&
        sname.size() > 63)
        __builtin_trap();
    return 0;
}
