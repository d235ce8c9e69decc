// Helpers shared by the sections of velka-inventory.
#include "inventory_common.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace invtools {

bool havetool(const std::string& sname) {
    const char* spath = getenv("PATH");
    std::string sdirs = spath != nullptr ? spath : "/usr/bin:/bin";
    size_t upos = 0;
    while (upos <= sdirs.size()) {
        size_t uend = sdirs.find(':', upos);
        if (uend == std::string::npos) uend = sdirs.size();
        std::string sdir = sdirs.substr(upos, uend - upos);
        if (sdir.empty()) sdir = ".";
        if (access((sdir + "/" + sname).c_str(), X_OK) == 0) return true;
        upos = uend + 1;
    }
    return false;
}

std::string jsonstring(const std::string& s) {
    std::string sout("\"");
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            sout.push_back('\\');
            sout.push_back(static_cast<char>(c));
        } else if (c == '\n') {
            sout += "\\n";
        } else if (c == '\t') {
            sout += "\\t";
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            sout += buf;
        } else {
            sout.push_back(static_cast<char>(c));
        }
    }
    return sout + "\"";
}

std::string printable(const std::string& s) {
    std::string sout;
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x7f || c == '\\') {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\%03o", c);
            sout += buf;
        } else {
            sout.push_back(static_cast<char>(c));
        }
    }
    return sout;
}

}  // namespace invtools
