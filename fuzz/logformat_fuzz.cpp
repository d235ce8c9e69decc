// The dispatch thread's formatting of LOGF entries on arbitrary formats and argument records:
// the first byte gives the format's length, the format follows, the rest are the records as
// they would sit in a queue slot. The text must stay within its room and end with a NUL.
// Then the whole input, as the text of an entry, must make one harmless line: printable
// ASCII and well-formed UTF-8 only, without the code points a terminal or viewer acts on.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <velka/logger>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t uifmt = data[0];
    if (uifmt > size - 1) uifmt = size - 1;
    const char* pfmt = reinterpret_cast<const char*>(data + 1);
    const char* pargs = pfmt + uifmt;
    const char* pend = reinterpret_cast<const char*>(data + size);
    static char s_out[velka::logger::entry::s_textsize + 16];
    for (size_t uiroom : {size_t(0), size_t(7), size_t(velka::logger::entry::s_textsize - 1)}) {
        memset(s_out, 'Z', sizeof(s_out));
        size_t n = velka::logger::formatting::render(pfmt, uifmt, pargs, pend, s_out, uiroom);
        if (n > uiroom || s_out[n] != '\0' || s_out[uiroom + 1] != 'Z') __builtin_trap();
    }
    std::string stext(reinterpret_cast<const char*>(data), size);
    timeval tv = {0, 0};
    std::string sline =
        velka::logger::entry(1, 2, tv, velka::logger::lvl_err, stext.c_str()).tostr_r();
    for (size_t i = 0; i < sline.size();) {
        unsigned char c = static_cast<unsigned char>(sline[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f) __builtin_trap();
            ++i;
            continue;
        }
        size_t n = c >= 0xf0 ? 4 : (c >= 0xe0 ? 3 : 2);
        if (c < 0xc2 || c > 0xf4 || i + n > sline.size()) __builtin_trap();
        uint32_t cp = c & (0x7fu >> n);
        for (size_t k = 1; k < n; ++k) {
            if ((sline[i + k] & 0xc0) != 0x80) __builtin_trap();
            cp = (cp << 6) | (sline[i + k] & 0x3fu);
        }
        if (cp < (n == 2 ? 0xa0u : (n == 3 ? 0x800u : 0x10000u)) || cp > 0x10ffff ||
            (cp >= 0xd800 && cp <= 0xdfff) || (cp >= 0x2028 && cp <= 0x202e) ||
            (cp >= 0x2066 && cp <= 0x2069))
            __builtin_trap();
        i += n;
    }
    return 0;
}
