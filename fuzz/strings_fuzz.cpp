// Tokenising, name:value splitting, trimming, quoting and the number conversions on arbitrary
// bytes. The first byte picks the delimiters, the rest is the text.
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include <velka/utilities>

using velka::utilities::utilities;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const char* const s_delims[] = {" ", ":", ",= \t", "\n", "/"};
    std::string sdelim = s_delims[data[0] % 5];
    std::string stext(reinterpret_cast<const char*>(data + 1), size - 1);

    std::vector<char> vtext(stext.begin(), stext.end());
    vtext.push_back('\0');
    std::vector<char> vdelim(sdelim.begin(), sdelim.end());
    vdelim.push_back('\0');
    std::list<std::string> ltokens;
    utilities::tokenize(vtext.data(), vdelim.data(), ltokens);
    for (const auto& t : ltokens)
        if (t.empty()) __builtin_trap();

    std::string sname, svalue;
    utilities::nvpair(stext, sname, svalue);
    utilities::nvpair_token(stext, sname, svalue, sdelim);
    std::string strimmed = utilities::trim(stext);
    if (utilities::trim(strimmed) != strimmed) __builtin_trap();
    std::string squoted;
    if (utilities::quoteoperand(stext, squoted) == utilities::isoption(stext)) __builtin_trap();
    utilities::strtoul(stext);
    utilities::strtoui(stext);
    utilities::strtoi(stext);
    utilities::strtol(stext);
    return 0;
}
