// The name:value settings file: loading words separated by white space (a word with a colon
// is a field, the first colon splits name from value), typed getters and setters on the map,
// and appending the map to the file. Each step that touches the file is logged.
#include <velka/cfgfile>

#include "internal/cfgfile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <velka/utilities>

#include "cloexecfile.h"
#include "failure.h"

namespace velka {
namespace cfgfile {

namespace {

const char* const s_file = "cfgfile.cpp";

// White space (where the reader splits words) or another control byte.
bool hascontrol(const std::string& s) {
    for (char c : s) {
        unsigned char uc = static_cast<unsigned char>(c);
        if (uc <= 0x20 || uc == 0x7f) return true;
    }
    return false;
}

// Why name:value would not read back as this one field; null when it would.
const char* whyrefused(const std::string& sname, const std::string& svalue) {
    if (sname.find(':') != std::string::npos) return "the name holds ':'";
    if (hascontrol(sname)) return "the name holds white space or a control byte";
    if (hascontrol(svalue)) return "the value holds white space or a control byte";
    return nullptr;
}

}  // namespace

using velka::logger::LOG;
using velka::utilities::utilities;

bool cfgfile::storable(const std::string& sname, const std::string& svalue) {
    return whyrefused(sname, svalue) == nullptr;
}

int cfgfile::store(const char* stag, const std::string& sname, const std::string& svalue) {
    const char* swhy = whyrefused(sname, svalue);
    if (swhy != nullptr) {
        velka::detail::refuse(m_plogsrc, s_file, stag,
                              m_scfgfile + " refused field " + sname + ": " + swhy, sname);
        return -1;
    }
    m_mcfgparams[sname] = svalue;
    return 0;
}

cfgfile::cfgfile(std::string s_cfg_file, velka::logger::source* p)
    : m_scfgfile(s_cfg_file), m_plogsrc(p) {
    m_mcfgparams.clear();
    load();
}

// Logs the path, checks it is a regular file and reads its fields; a later occurrence of a
// name replaces an earlier one. Failures are logged ("stat failed with error", "is not a
// regular file") and leave the map empty.
void cfgfile::load() {
    velka::detail::note(m_plogsrc, s_file, "cfgfile::cfgfile", m_scfgfile);
    struct stat st;
    if (stat(m_scfgfile.c_str(), &st) != 0) {
        int ierr = errno;
        velka::detail::failwhat(m_plogsrc, s_file, "cfgfile::cfgfile",
                                m_scfgfile + " stat failed with error " + strerror(ierr),
                                "stat " + m_scfgfile, ierr);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        velka::detail::fail(m_plogsrc, s_file, "cfgfile::cfgfile",
                            m_scfgfile + " is not a regular file");
        return;
    }
    velka::cloexecfile::ifile ifs(m_scfgfile);
    parsefields(ifs, m_mcfgparams, m_plogsrc, m_scfgfile);
    ifs.close();
}

void parsefields(std::istream& in,
                 std::map<std::string, std::string>& mfields,
                 velka::logger::source* plog,
                 const std::string& sfile) {
    std::string sword;
    while (in >> sword) {
        std::string sname;
        std::string svalue;
        if (utilities::nvpair(sword, sname, svalue) != 0) continue;
        mfields[sname] = svalue;
        velka::detail::note(plog, s_file, "cfgfile::cfgfile",
                            sfile + " found a field " + sname + " with a value of " + svalue);
    }
}

void cfgfile::update() {
    velka::cloexecfile::ofile ofs(m_scfgfile, true);
    if (!ofs.is_open()) return;
    for (const auto& kv : m_mcfgparams) {
        std::string sentry = kv.first + ":" + kv.second;
        if (!ofs.good()) continue;
        // Only a loaded word holding a control byte other than white space gets here.
        const char* swhy = whyrefused(kv.first, kv.second);
        if (swhy != nullptr) {
            velka::detail::refuse(m_plogsrc, s_file, "cfgfile::update",
                                  m_scfgfile + " refused field " + kv.first + ": " + swhy);
            continue;
        }
        velka::detail::note(m_plogsrc, s_file, "cfgfile::update",
                            m_scfgfile + " appending entry " + sentry);
        ofs << sentry << "\n";
    }
    ofs.close();
}

int cfgfile::getint(std::string s_field, int& value) {
    auto it = m_mcfgparams.find(s_field);
    if (it == m_mcfgparams.end()) {
        errno = ENOENT;
        return -1;
    }
    value = utilities::strtoi(it->second);
    return 0;
}

int cfgfile::getlong(std::string s_field, long& value) {
    auto it = m_mcfgparams.find(s_field);
    if (it == m_mcfgparams.end()) {
        errno = ENOENT;
        return -1;
    }
    value = utilities::strtol(it->second);
    return 0;
}

int cfgfile::getstring(std::string s_field, std::string& value) {
    auto it = m_mcfgparams.find(s_field);
    if (it == m_mcfgparams.end()) {
        errno = ENOENT;
        return -1;
    }
    value = it->second;
    return 0;
}

int cfgfile::setint(std::string s_field, int ivalue) {
    char cbuff[32];
    snprintf(cbuff, sizeof(cbuff), "%d", ivalue);
    return store("cfgfile::setint", s_field, cbuff);
}

int cfgfile::setlong(std::string s_field, long lvalue) {
    char cbuff[32];
    snprintf(cbuff, sizeof(cbuff), "%ld", lvalue);
    return store("cfgfile::setlong", s_field, cbuff);
}

int cfgfile::setstring(std::string s_field, std::string svalue) {
    return store("cfgfile::setstring", s_field, svalue);
}

void cfgfile::reset() {
    m_mcfgparams.clear();
}

int cfgfile::delparam(std::string s_field) {
    auto it = m_mcfgparams.find(s_field);
    if (it == m_mcfgparams.end()) {
        errno = ENOENT;
        return -1;
    }
    m_mcfgparams.erase(it);
    return 0;
}

int cfgfile::unlink() {
    return remove(m_scfgfile.c_str()) == 0 ? 0 : -1;
}

}  // namespace cfgfile
}  // namespace velka
