// The kernel command-line parser of the network-boot environment (pxeboot::parsecmdline), fed
// the whole input as the constructor feeds it the whole of /proc/cmdline.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <velka/pxeboot>

#include "internal/pxeboot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string s(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> params;
    velka::pxeboot::parsecmdline(s, params, nullptr);
    // The text ends at a NUL; without a double quote nothing groups white space into a word.
    bool bquotes = s.substr(0, s.find('\0')).find('"') != std::string::npos;
    for (const auto& kv : params) {
        for (const std::string* p : {&kv.first, &kv.second}) {
            if (p->find('\0') != std::string::npos) __builtin_trap();
            if (!bquotes && p->find_first_of(" \t\n\v\f\r\xa0") != std::string::npos)
                __builtin_trap();
        }
    }
    return 0;
}
