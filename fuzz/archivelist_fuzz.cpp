// The archiver's list-line reader on arbitrary bytes: a line it accepts makes a tar command
// whose operands were checked; one it refuses makes none.
#include <cstddef>
#include <cstdint>
#include <string>

#include <velka/archiver>

#include "internal/archiver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string sline(reinterpret_cast<const char*>(data), size);
    for (bool bcreate : {true, false}) {
        std::string scmd("stale");
        bool bok = velka::archiver::parselistline(sline, bcreate, scmd);
        if (bok == scmd.empty()) __builtin_trap();
        if (bok && scmd.find('\0') != std::string::npos) __builtin_trap();
    }
    return 0;
}
