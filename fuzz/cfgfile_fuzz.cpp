// The settings file's field reader on arbitrary bytes, and the setters' check: a field it
// accepts, written as the file's one line, reads back as exactly that field.
#include <cstddef>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>

#include <velka/cfgfile>

#include "internal/cfgfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string sinput(reinterpret_cast<const char*>(data), size);
    std::istringstream in(sinput);
    std::map<std::string, std::string> mfields;
    velka::cfgfile::parsefields(in, mfields, nullptr, "fuzz.cfg");
    // Names and values come back trimmed; a name never holds the separator it was split at.
    for (const auto& kv : mfields)
        if (kv.first.find(':') != std::string::npos) __builtin_trap();
    // The first half as a name, the rest as a value.
    std::string sname = sinput.substr(0, size / 2), svalue = sinput.substr(size / 2);
    if (velka::cfgfile::cfgfile::storable(sname, svalue)) {
        std::istringstream line(sname + ":" + svalue + "\n");
        std::map<std::string, std::string> mback;
        velka::cfgfile::parsefields(line, mback, nullptr, "fuzz.cfg");
        if (mback.size() != 1 || mback.begin()->first != sname || mback.begin()->second != svalue)
            __builtin_trap();
    }
    return 0;
}
