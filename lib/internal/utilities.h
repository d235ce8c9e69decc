// How the command runner reads a command line it can start without a shell, and how UTF-8 is
// read. Internal to the library: not exported from libvelka.so; the tests and the fuzz targets
// reach it through the static build.
#ifndef VELKA_INTERNAL_UTILITIES_H
#define VELKA_INTERNAL_UTILITIES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velka {
namespace utilities {
namespace detail {

// One redirection of a simple command: descriptor ifd made a copy of itofd, or, when itofd
// is -1, opened for writing on /dev/null.
struct redirection {
    int ifd;
    int itofd;
};

// Whether scmd is one simple command that /bin/sh would run as one program with the words
// lwords and nothing else the shell does: words of the characters shellquote leaves bare
// (letters, digits, _@%+=:,./-), single-quoted text and backslash-escaped characters (quote
// removal, as the shell does it), separated by blanks and tabs, and the redirections
// ">/dev/null", "1>/dev/null", "2>/dev/null", "2>&1" and ">&2" as whole words (in lredirs, in
// order). Not one: empty, any other shell syntax (variables, globs, double quotes, pipes,
// lists, a newline, comments, tildes), an assignment in front of the command, or a command
// name that is a builtin or a reserved word of the shell.
bool simplecommand(const std::string& scmd,
                   std::vector<std::string>& lwords,
                   std::vector<redirection>& lredirs);

// The length of the well-formed UTF-8 sequence at s (n bytes left, s[0] >= 0x80), its code
// point in cp; 0 when the bytes there are not one (a stray continuation byte such as 0x9b,
// an overlong form, a surrogate, past U+10FFFF, cut short).
size_t utf8sequence(const unsigned char* s, size_t n, uint32_t& cp);

}  // namespace detail
}  // namespace utilities
}  // namespace velka

#endif
