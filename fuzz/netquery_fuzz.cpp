// The readings of ethtool's and ifconfig's pipeline output (link speed, interface list) on
// arbitrary bytes, split into lines as popen splits them.
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include <velka/platform>
#include <velka/utilities>

#include "internal/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::list<std::string> lines;
    velka::utilities::utilities::splitlines(std::string(reinterpret_cast<const char*>(data), size),
                                            lines);
    unsigned long ulspeed = 7;
    int irc = velka::platform::parselinkspeed(lines, ulspeed);
    if (irc != 0 && ulspeed != 7) __builtin_trap();
    std::list<std::string> lintfx{"stale"};
    velka::platform::parseintfxlist(lines, lintfx);
    if (lintfx.size() != lines.size()) __builtin_trap();
    return 0;
}
