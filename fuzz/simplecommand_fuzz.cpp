// The runner's reading of a command line it may start without a shell, on arbitrary bytes: no
// crash, and the words it reads are the words it reads again from their quoted forms (what
// the library's own command lines are made of).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <velka/utilities>

#include "internal/utilities.h"

using namespace velka::utilities;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string stext(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lwords, lagain;
    std::vector<detail::redirection> lredirs, lredirsagain;
    if (!detail::simplecommand(stext, lwords, lredirs)) return 0;
    if (lwords.empty() || lwords[0].empty()) __builtin_trap();
    // shellquote leaves '=' bare: a quoted form of a first word holding one reads as an
    // assignment, which the reader refuses.
    if (lwords[0].find('=') != std::string::npos) return 0;
    std::string squoted;
    for (const auto& s : lwords) squoted += utilities::shellquote(s) + " ";
    if (!detail::simplecommand(squoted, lagain, lredirsagain) || lagain != lwords ||
        !lredirsagain.empty())
        __builtin_trap();
    return 0;
}
