// The standard INQUIRY and READ CAPACITY(16) decoders on arbitrary bytes, the SCSI address
// reader of the transport extraction, and the operation names used in pass-through messages.
#include <cstddef>
#include <cstdint>
#include <string>

#include <velka/blkdev>
#include <velka/scsi>

#include "internal/blkdev.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using velka::blkdev::blkdevparams;
    unsigned long long ullblocks = 0;
    unsigned int uiblksize = 0;
    velka::blkdev::decodecapacity(data, size, ullblocks, uiblksize);
    if (velka::blkdev::decodedevicetype(data, size) > 0x1F) __builtin_trap();
    std::string saddr(reinterpret_cast<const char*>(data), size);
    blkdevparams::extracthostid(saddr.c_str());
    if (size > 0 && velka::scsi::sgdev::cmdtoname(data[0]).empty()) __builtin_trap();
    return 0;
}
