// Helpers shared by the sections of velka-inventory.
#include "inventory_common.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include <velka/utilities>

namespace invtools {

std::string utf8(const std::string& s) {
    static const char s_replacement[] = "\xef\xbf\xbd";  // U+FFFD
    std::string sout;
    sout.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            sout.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        // The length of the sequence, and the range of its second byte (which excludes
        // overlong forms, surrogates and code points above U+10FFFF).
        size_t ulen = 0;
        unsigned char lo = 0x80, hi = 0xbf;
        if (c >= 0xc2 && c <= 0xdf) {
            ulen = 2;
        } else if (c >= 0xe0 && c <= 0xef) {
            ulen = 3;
            if (c == 0xe0) lo = 0xa0;
            if (c == 0xed) hi = 0x9f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            ulen = 4;
            if (c == 0xf0) lo = 0x90;
            if (c == 0xf4) hi = 0x8f;
        }
        // A bad lead byte, or a sequence cut short: one replacement for the bytes that
        // began it well (the maximal subpart), then go on with the byte that broke it.
        size_t uok = ulen == 0 ? 0 : 1;
        while (uok > 0 && uok < ulen && i + uok < n && p[i + uok] >= (uok == 1 ? lo : 0x80) &&
               p[i + uok] <= (uok == 1 ? hi : 0xbf))
            ++uok;
        if (ulen != 0 && uok == ulen) {
            sout.append(s, i, ulen);
            i += ulen;
        } else {
            sout += s_replacement;
            i += uok == 0 ? 1 : uok;
        }
    }
    return sout;
}

std::string jsonstring(const std::string& s) {
    std::string sout("\"");
    for (char ch : utf8(s)) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            sout.push_back('\\');
            sout.push_back(ch);
        } else if (c == '\n') {
            sout += "\\n";
        } else if (c == '\t') {
            sout += "\\t";
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            sout += buf;
        } else {
            sout.push_back(ch);
        }
    }
    return sout + "\"";
}

std::string kernelname(const std::string& sdevice) {
    char sreal[PATH_MAX];
    std::string s = realpath(sdevice.c_str(), sreal) != nullptr ? sreal : sdevice;
    if (s.compare(0, 5, "/dev/") != 0) return sdevice;
    return s.substr(s.rfind('/') + 1);
}

std::string jsonlines(const std::vector<std::string>& velements, int iindent) {
    if (velements.empty()) return "[]";
    std::string sindent(static_cast<size_t>(iindent), ' ');
    std::string s = "[";
    for (size_t i = 0; i < velements.size(); ++i)
        s += (i == 0 ? "\n" : ",\n") + sindent + velements[i];
    return s + "\n" + sindent.substr(2) + "]";
}

std::string jsonnumber(double d, int idigits) {
    if (!std::isfinite(d)) return "null";
    char buf[512];
    snprintf(buf, sizeof(buf), "%.*f", idigits, d);
    return buf;
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

std::string row(int iindent, int iwidth, const std::string& skey, const std::string& svalue) {
    std::string s(static_cast<size_t>(iindent), ' ');
    s += printable(skey);
    if (static_cast<int>(skey.size()) < iwidth)
        s.append(static_cast<size_t>(iwidth) - skey.size(), ' ');
    return s + " " + printable(svalue) + "\n";
}

void promtext::add(const std::string& sname,
                   const std::string& shelp,
                   const std::string& slabels,
                   double dvalue) {
    if (!std::isfinite(dvalue)) return;
    // The shortest of 15 to 17 digits that reads back as the same number.
    char buf[64];
    for (int idigits = 15; idigits <= 17; ++idigits) {
        snprintf(buf, sizeof(buf), "%.*g", idigits, dvalue);
        if (strtod(buf, nullptr) == dvalue) break;
    }
    std::string ssample = sname + (slabels.empty() ? "" : "{" + slabels + "}") + " " + buf;
    for (auto& f : m_vfamilies) {
        if (f.sname == sname) {
            f.vsamples.push_back(ssample);
            return;
        }
    }
    m_vfamilies.push_back(family{sname, shelp, {ssample}});
}

std::string promtext::text() const {
    std::string s;
    for (const auto& f : m_vfamilies) {
        s += "# HELP " + f.sname + " " + f.shelp + "\n# TYPE " + f.sname + " gauge\n";
        for (const auto& ssample : f.vsamples) s += ssample + "\n";
    }
    return s;
}

std::string label(const std::string& sname, const std::string& svalue) {
    std::string s = sname + "=\"";
    for (char c : utf8(svalue)) {
        if (c == '\n') {
            s += "\\n";
            continue;
        }
        if (c == '\\' || c == '"') s.push_back('\\');
        s.push_back(c);
    }
    return s + "\"";
}

std::string labels(const std::vector<std::pair<std::string, std::string>>& vpairs) {
    std::string s;
    for (const auto& p : vpairs) s += (s.empty() ? "" : ",") + label(p.first, p.second);
    return s;
}

std::string attribute(const std::string& spath) {
    return velka::utilities::utilities::trim(velka::utilities::utilities::read(spath));
}

void runsteps(const std::vector<std::function<void()>>& vsteps, bool bconcurrent, size_t umax) {
    if (!bconcurrent || vsteps.size() < 2) {
        for (const auto& step : vsteps) step();
        return;
    }
    // Each thread takes the next step not yet taken until none is left.
    size_t uthreads = umax == 0 ? vsteps.size() : std::min(umax, vsteps.size());
    std::atomic<size_t> unext{0};
    auto worker = [&vsteps, &unext] {
        for (size_t i = unext++; i < vsteps.size(); i = unext++) vsteps[i]();
    };
    std::vector<std::thread> vthreads;
    vthreads.reserve(uthreads);
    for (size_t i = 1; i < uthreads; ++i) {
        try {
            vthreads.emplace_back(worker);
        } catch (const std::system_error&) {
            break;  // no more threads: the ones running, and this one, take the rest
        }
    }
    worker();
    for (auto& t : vthreads) t.join();
}

size_t poolsize() {
    unsigned int uicpus = std::thread::hardware_concurrency();
    return 8 * static_cast<size_t>(uicpus == 0 ? 1 : uicpus);
}

}  // namespace invtools
