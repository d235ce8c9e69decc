// The mount-path configuration file, read and written through libc's mount-table streams
// (setmntent, getmntent_r, addmntent, endmntent), so the file keeps the fstab(5) line format
// with its octal escapes for blanks, tabs, newlines and backslashes.
#include <velka/mntconfig>

#include <mntent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <velka/logger>
#include <velka/scoped_array>
#include <velka/utilities>

namespace velka {
namespace mntconfig {

namespace {

using velka::logger::LOG;
using velka::mnttab::mnttab;
using velka::scoped_array::scoped_array;

const char* const s_file = "mntconfig";
// Smallest line buffer; lines longer than the largest one make the file unreadable rather
// than being read cut short.
const size_t s_linebufsize = 4096;
const size_t s_maxlinebufsize = 1024 * 1024;
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

// A column of a line read; a missing one is empty.
std::string field(const char* stext) {
    return stext != nullptr ? stext : "";
}

// The line buffer needed to read every line of the stream whole (from its start): the
// longest line plus its newline and the terminating NUL. 0 when the stream cannot be read or
// holds a line longer than the largest buffer. The stream is left at its start.
size_t linebuffersize(FILE* fp) {
    rewind(fp);
    size_t ullongest = 0, ulcurrent = 0;
    int c;
    while ((c = getc_unlocked(fp)) != EOF) {
        if (c == '\n') {
            ulcurrent = 0;
        } else if (++ulcurrent > ullongest) {
            ullongest = ulcurrent;
        }
    }
    bool bfailed = ferror(fp) != 0;
    rewind(fp);
    if (bfailed || ullongest + 2 > s_maxlinebufsize) return 0;
    return ullongest + 2 > s_linebufsize ? ullongest + 2 : s_linebufsize;
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
        LOG(m_plogsrc, s_file, "mntconfig::mntconfig",
            "Failed to open mountpath config file " + sfilepath);
        m_bvalid = false;
    }
}

mntconfig::~mntconfig() {
    if (m_fp != nullptr) {
        endmntent(m_fp);
        LOG(m_plogsrc, s_file, "mntconfig::~mntconfig",
            "Closing mountpath config file " + m_sconfigfile);
        m_bvalid = false;
        m_fp = nullptr;
    }
}

int mntconfig::extract(std::list<mnttab>& mntentlist) {
    if (m_fp == nullptr || !m_bvalid) {
        LOG(m_plogsrc, s_file, "mntconfig::extract",
            "Handle to mountpath config file is not valid");
        return -1;
    }
    if (m_currentmode != extractentries) {
        LOG(m_plogsrc, s_file, "mntconfig::extract",
            "entries cannot be extracted in the current mode");
        return -1;
    }
    // Only a regular file has an end: a device or a pipe could be read forever.
    struct stat st;
    if (fstat(fileno(m_fp), &st) != 0 || !S_ISREG(st.st_mode)) {
        LOG(m_plogsrc, s_file, "mntconfig::extract",
            "Mountpath config file " + m_sconfigfile + " is not a regular file");
        return -1;
    }
    size_t ulbufsize = linebuffersize(m_fp);
    if (ulbufsize == 0) {
        LOG(m_plogsrc, s_file, "mntconfig::extract",
            "Mountpath config file " + m_sconfigfile + " cannot be read or has an overlong line");
        return -1;
    }
    LOG(m_plogsrc, s_file, "mntconfig::extract",
        "Will start parsing the mountpath config file " + m_sconfigfile);
    std::list<mnttab> lentries;
    scoped_array<char> buf(static_cast<unsigned int>(ulbufsize));
    struct mntent ent;
    errno = 0;
    while (getmntent_r(m_fp, &ent, buf.get(), static_cast<int>(buf.size())) != nullptr) {
        std::string sdevice(field(ent.mnt_fsname)), spath(field(ent.mnt_dir)),
            stype(field(ent.mnt_type)), soptions(field(ent.mnt_opts));
        std::string sline = "[" + sdevice + " : " + spath + " : " + stype + " : " + soptions + "]";
        // A line cut short names no mount path or no type: it describes no mount.
        const char* smissing = spath.empty() ? "mount path" : stype.empty() ? "type" : nullptr;
        if (smissing != nullptr) {
            LOG(m_plogsrc, s_file, "mntconfig::extract",
                "Skipped mnttab entry " + sline + " without a " + smissing);
            continue;
        }
        lentries.push_back(mnttab(sdevice, spath, stype, soptions, nullptr));
        LOG(m_plogsrc, s_file, "mntconfig::extract", "Created mnttab entry " + sline);
    }
    if (ferror(m_fp) != 0) {
        int ierr = errno;
        LOG(m_plogsrc, s_file, "mntconfig::extract",
            "Failed to read mountpath config file " + m_sconfigfile + " error: " + strerror(ierr));
        return -1;
    }
    mntentlist.swap(lentries);
    return 0;
}

int mntconfig::update(const std::list<mnttab>& mntentlist) {
    if (m_fp == nullptr || !m_bvalid) {
        LOG(m_plogsrc, s_file, "mntconfig::update", "Handle to mountpath config file is not valid");
        return -1;
    }
    LOG(m_plogsrc, s_file, "mntconfig::update",
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
        LOG(m_plogsrc, s_file, "mntconfig::update",
            std::string(ent.mnt_fsname) + "  " + ent.mnt_dir + " " + ent.mnt_type + " " +
                ent.mnt_opts);
        // An empty column cannot be written: the columns after it would move one place left.
        int iret = 1;
        if (*ent.mnt_fsname != '\0' && *ent.mnt_dir != '\0' && *ent.mnt_type != '\0')
            iret = addmntent(m_fp, &ent);
        if (iret != 0) {
            LOG(m_plogsrc, s_file, "mntconfig::update",
                "Failed to add " + std::string(ent.mnt_fsname) + "  " + ent.mnt_dir +
                    " to mountpath config file " + m_sconfigfile);
            return iret;
        }
    }
    // Lines still buffered in the stream would otherwise fail unseen when it is closed.
    if (fflush(m_fp) != 0) {
        int ierr = errno;
        LOG(m_plogsrc, s_file, "mntconfig::update",
            "Failed to write mountpath config file " + m_sconfigfile + " error: " + strerror(ierr));
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

}  // namespace mntconfig
}  // namespace velka
