// Helpers shared by the sections of velka-inventory.
#include "inventory_common.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

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
    for (char c : printable(svalue)) {
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

void runsteps(const std::vector<std::function<void()>>& vsteps, bool bconcurrent) {
    if (!bconcurrent || vsteps.size() < 2) {
        for (const auto& step : vsteps) step();
        return;
    }
    std::vector<std::thread> vthreads;
    vthreads.reserve(vsteps.size());
    for (const auto& step : vsteps) vthreads.emplace_back(step);
    for (auto& t : vthreads) t.join();
}

}  // namespace invtools
