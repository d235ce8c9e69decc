// The kernel command-line parser of the network-boot environment (pxeboot::parsecmdline), fed
// the first line of the input as the constructor feeds it the first line of /proc/cmdline.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <velka/pxeboot>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string s(reinterpret_cast<const char*>(data), size);
    std::string sline = s.substr(0, s.find('\n'));
    std::map<std::string, std::string> params;
    velka::pxeboot::pxeboot::parsecmdline(sline, params, nullptr);
    return 0;
}
