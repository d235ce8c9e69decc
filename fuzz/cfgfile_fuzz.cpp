// The settings file's field reader on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>

#include <velka/cfgfile>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::map<std::string, std::string> mfields;
    velka::cfgfile::cfgfile::parsefields(in, mfields, nullptr, "fuzz.cfg");
    // Names and values come back trimmed; a name never holds the separator it was split at.
    for (const auto& kv : mfields)
        if (kv.first.find(':') != std::string::npos) __builtin_trap();
    return 0;
}
