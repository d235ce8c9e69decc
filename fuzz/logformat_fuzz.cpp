// The dispatch thread's formatting of LOGF entries on arbitrary formats and argument records:
// the first byte gives the format's length, the format follows, the rest are the records as
// they would sit in a queue slot. The text must stay within its room and end with a NUL.
#include <cstddef>
#include <cstdint>
#include <cstring>

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
    return 0;
}
