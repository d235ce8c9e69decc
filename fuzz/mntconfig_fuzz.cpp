// The mount-path file's line reader on arbitrary bytes: every entry it returns names a mount
// path and a type, and no entry is made from a line holding a NUL byte.
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include <velka/mntconfig>
#include <velka/mnttab>

#include "internal/mntconfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string stext(reinterpret_cast<const char*>(data), size);
    std::list<velka::mnttab::mnttab> l;
    velka::mntconfig::parseentries(stext, l, nullptr);
    for (const auto& e : l) {
        if (e.get_mntpath().empty() || e.get_fstype().empty()) __builtin_trap();
        if (e.get_blkdev().find('\0') != std::string::npos) __builtin_trap();
    }
    return 0;
}
