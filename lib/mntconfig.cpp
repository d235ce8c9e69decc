// The mount-path configuration file, read and written through libc's mount-table streams
// (setmntent, getmntent_r, addmntent, endmntent), so the file keeps the fstab(5) line format
// with its octal escapes for blanks, tabs, newlines and backslashes.
#include <velka/mntconfig>

#include "internal/mntconfig.h"

#include <mntent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <velka/logger>
#include <velka/scoped_array>
#include <velka/utilities>
#include "failure.h"

namespace velka {
namespace mntconfig {

namespace {

using velka::logger::LOG;
using velka::mnttab::mnttab;
using velka::scoped_array::scoped_array;

const char* const s_file = "mntconfig";
// Read in pieces of this size. A line longer than s_maxlinesize, or a file larger than
// s_maxfilesize, makes the file unreadable rather than being read cut short.
const size_t s_linebufsize = 4096;
const size_t s_maxlinesize = 1024 * 1024 - 2;
const size_t s_maxfilesize = 64 * 1024 * 1024;
// Written for an entry without options: an empty column would shift the columns after it.
const char* const s_defaultopts = "defaults";

const char* modeletter(mntconfigopenmode_t mode) {
    switch (mode) {
        case extractentries:
            return "r";
        case updateentries:
            return "w";
        case appendentries:
            return "a";
    }
    return nullptr;
}

// A text copied into a buffer of its own size, as libc's mntent takes writable texts.
class textbuf {
public:
    explicit textbuf(const std::string& stext)
        : m_buf(static_cast<unsigned int>(stext.size() + 1)) {
        memcpy(m_buf.get(), stext.c_str(), stext.size() + 1);
    }
    char* get() {
        return m_buf.get();
    }

private:
    scoped_array<char> m_buf;
};

size_t longestline(const std::string& stext) {
    size_t ulongest = 0, upos = 0;
    while (upos <= stext.size()) {
        size_t uend = stext.find('\n', upos);
        if (uend == std::string::npos) uend = stext.size();
        ulongest = std::max(ulongest, uend - upos);
        upos = uend + 1;
    }
    return ulongest;
}

// Undoes the octal escapes of the fstab format as libc's entry reader does: \040 blank,
// \011 tab, \012 newline, \134 and \\ backslash; any other byte stands for itself.
std::string decodefield(const std::string& sfield) {
    std::string sout;
    for (size_t i = 0; i < sfield.size(); ++i) {
        std::string snext = sfield.substr(i, 4);
        if (snext == "\\040") {
            sout += ' ';
            i += 3;
        } else if (snext == "\\011") {
            sout += '\t';
            i += 3;
        } else if (snext == "\\012") {
            sout += '\n';
            i += 3;
        } else if (snext == "\\134") {
            sout += '\\';
            i += 3;
        } else if (snext.compare(0, 2, "\\\\") == 0) {
            sout += '\\';
            i += 1;
        } else {
            sout += sfield[i];
        }
    }
    return sout;
}

// The columns of one line: runs of blanks and tabs separate them, trailing ones are ignored.
std::vector<std::string> columns(const std::string& sline) {
    std::vector<std::string> vcols;
    size_t upos = 0;
    while (vcols.size() < 4) {
        upos = sline.find_first_not_of(" \t", upos);
        if (upos == std::string::npos) break;
        size_t uend = sline.find_first_of(" \t", upos);
        vcols.push_back(decodefield(sline.substr(upos, uend - upos)));
        if (uend == std::string::npos) break;
        upos = uend;
    }
    vcols.resize(4);
    return vcols;
}

}  // namespace

mntconfig::mntconfig(std::string sfilepath, mntconfigopenmode mode, velka::logger::source* plog)
    : m_sconfigfile(sfilepath),
      m_fp(nullptr),
      m_currentmode(mode),
      m_plogsrc(plog),
      m_bvalid(true) {
    const char* smode = modeletter(mode);
    if (smode != nullptr) m_fp = setmntent(m_sconfigfile.c_str(), smode);
    if (m_fp == nullptr) {
        velka::detail::fail(m_plogsrc, s_file, "mntconfig::mntconfig",
                            "Failed to open mountpath config file " + sfilepath);
        m_bvalid = false;
    }
}

mntconfig::~mntconfig() {
    if (m_fp != nullptr) {
        endmntent(m_fp);
        velka::detail::note(m_plogsrc, s_file, "mntconfig::~mntconfig",
                            "Closing mountpath config file " + m_sconfigfile);
        m_bvalid = false;
        m_fp = nullptr;
    }
}

int mntconfig::extract(std::list<mnttab>& mntentlist) {
    if (m_fp == nullptr || !m_bvalid) {
        velka::detail::fail(m_plogsrc, s_file, "mntconfig::extract",
                            "Handle to mountpath config file is not valid");
        return -1;
    }
    if (m_currentmode != extractentries) {
        velka::detail::fail(m_plogsrc, s_file, "mntconfig::extract",
                            "entries cannot be extracted in the current mode");
        return -1;
    }
    // Only a regular file has an end: a device or a pipe could be read forever.
    struct stat st;
    if (fstat(fileno(m_fp), &st) != 0 || !S_ISREG(st.st_mode)) {
        velka::detail::fail(m_plogsrc, s_file, "mntconfig::extract",
                            "Mountpath config file " + m_sconfigfile + " is not a regular file");
        return -1;
    }
    // The whole file is read and split here rather than by libc's entry reader, which takes
    // a line cut by a NUL byte for an overlong one and silently drops the line after it.
    rewind(m_fp);
    std::string stext;
    scoped_array<char> buf(static_cast<unsigned int>(s_linebufsize));
    size_t n;
    errno = 0;
    while ((n = fread(buf.get(), 1, buf.size(), m_fp)) > 0) {
        stext.append(buf.get(), n);
        if (stext.size() > s_maxfilesize) break;
    }
    if (ferror(m_fp) != 0) {
        int ierr = errno;
        velka::detail::failwhat(
            m_plogsrc, s_file, "mntconfig::extract",
            "Failed to read mountpath config file " + m_sconfigfile + " error: " + strerror(ierr),
            "", ierr);
        return -1;
    }
    if (stext.size() > s_maxfilesize || longestline(stext) > s_maxlinesize) {
        velka::detail::fail(
            m_plogsrc, s_file, "mntconfig::extract",
            "Mountpath config file " + m_sconfigfile + " cannot be read or has an overlong line");
        return -1;
    }
    velka::detail::note(m_plogsrc, s_file, "mntconfig::extract",
                        "Will start parsing the mountpath config file " + m_sconfigfile);
    std::list<mnttab> lentries;
    parseentries(stext, lentries, m_plogsrc);
    mntentlist.swap(lentries);
    return 0;
}

void parseentries(const std::string& stext,
                  std::list<mnttab>& mntentlist,
                  velka::logger::source* plog) {
    size_t upos = 0;
    while (upos < stext.size()) {
        size_t uend = stext.find('\n', upos);
        if (uend == std::string::npos) uend = stext.size();
        std::string sline = stext.substr(upos, uend - upos);
        upos = uend + 1;
        size_t ufirst = sline.find_first_not_of(" \t");
        if (ufirst == std::string::npos || sline[ufirst] == '#') continue;
        if (sline.find('\0') != std::string::npos) {
            velka::detail::note(
                plog, s_file, "mntconfig::extract",
                "Skipped mnttab entry [" + sline.substr(0, sline.find('\0')) + "] with a NUL byte");
            continue;
        }
        std::vector<std::string> vcols = columns(sline);
        const std::string &sdevice = vcols[0], &spath = vcols[1], &stype = vcols[2],
                          &soptions = vcols[3];
        std::string sentry = "[" + sdevice + " : " + spath + " : " + stype + " : " + soptions + "]";
        // A line cut short names no mount path or no type: it describes no mount.
        const char* smissing = spath.empty() ? "mount path" : stype.empty() ? "type" : nullptr;
        if (smissing != nullptr) {
            velka::detail::note(plog, s_file, "mntconfig::extract",
                                "Skipped mnttab entry " + sentry + " without a " + smissing);
            continue;
        }
        mntentlist.push_back(mnttab(sdevice, spath, stype, soptions, nullptr));
        velka::detail::note(plog, s_file, "mntconfig::extract", "Created mnttab entry " + sentry);
    }
}

int mntconfig::update(const std::list<mnttab>& mntentlist) {
    if (m_fp == nullptr || !m_bvalid) {
        velka::detail::fail(m_plogsrc, s_file, "mntconfig::update",
                            "Handle to mountpath config file is not valid");
        return -1;
    }
    velka::detail::note(m_plogsrc, s_file, "mntconfig::update",
                        "Will start updating the mountpath config file " + m_sconfigfile);
    for (const auto& entry : mntentlist) {
        std::string soptions = entry.get_fsargs();
        if (soptions.empty()) soptions = s_defaultopts;
        textbuf device(entry.get_blkdev()), path(entry.get_mntpath()), type(entry.get_fstype()),
            options(soptions);
        struct mntent ent;
        ent.mnt_fsname = device.get();
        ent.mnt_dir = path.get();
        ent.mnt_type = type.get();
        ent.mnt_opts = options.get();
        ent.mnt_freq = static_cast<int>(entry.get_fsfreq());
        ent.mnt_passno = static_cast<int>(entry.get_fspassno());
        velka::detail::note(m_plogsrc, s_file, "mntconfig::update",
                            std::string(ent.mnt_fsname) + "  " + ent.mnt_dir + " " + ent.mnt_type +
                                " " + ent.mnt_opts);
        // An empty column cannot be written: the columns after it would move one place left.
        // A device that begins with "#" would make the line a comment no reader returns.
        int iret = 1;
        if (*ent.mnt_fsname != '\0' && *ent.mnt_fsname != '#' && *ent.mnt_dir != '\0' &&
            *ent.mnt_type != '\0')
            iret = addmntent(m_fp, &ent);
        if (iret != 0) {
            velka::detail::fail(m_plogsrc, s_file, "mntconfig::update",
                                "Failed to add " + std::string(ent.mnt_fsname) + "  " +
                                    ent.mnt_dir + " to mountpath config file " + m_sconfigfile);
            return iret;
        }
    }
    // Lines still buffered in the stream would otherwise fail unseen when it is closed.
    if (fflush(m_fp) != 0) {
        int ierr = errno;
        velka::detail::failwhat(
            m_plogsrc, s_file, "mntconfig::update",
            "Failed to write mountpath config file " + m_sconfigfile + " error: " + strerror(ierr),
            "", ierr);
        return -1;
    }
    return 0;
}

bool mntconfig::hasmntpath(const std::list<mnttab>& mntentlist, std::string smntpath) {
    for (const auto& entry : mntentlist) {
        if (entry.get_mntpath() == smntpath) return true;
    }
    return false;
}

std::vector<mnttab> mntconfig::extract() {
    std::list<mnttab> lentries;
    extract(lentries);
    // Element by element: a range copy would instantiate standard-library code whose symbol
    // name begins with the element type, which the library's version script would export.
    std::vector<mnttab> ventries;
    ventries.reserve(lentries.size());
    for (auto& entry : lentries) ventries.push_back(std::move(entry));
    return ventries;
}

}  // namespace mntconfig
}  // namespace velka
