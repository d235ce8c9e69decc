// Mount entries and their location stamps. An entry mounts, unmounts and stamps through
// velka::fs::fs; the stamps are trusted extended attributes on the mount path, read back to
// tell whether a mounted filesystem is one of the appliance's own and where it belongs.
#include <velka/mnttab>

#include <cstring>
#include <vector>

#include <velka/fs>
#include <velka/logger>
#include <velka/utilities>
#include "failure.h"

namespace velka {
namespace mnttab {

const std::string stampid("trusted.mntstamp");
const std::string zoanid("trusted.zoanstamp");
const std::string zoanstamp("quorvelane@zoan");
const std::string blkdevid("trusted.blkdevstamp");

namespace {

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "mnttab";

// Splits stext at any of the delimiter characters; the text ends at its first NUL byte.
void split(const std::string& stext, const char* sdelim, std::list<std::string>& lpieces) {
    std::vector<char> vtext(stext.c_str(), stext.c_str() + strlen(stext.c_str()) + 1);
    std::vector<char> vdelim(sdelim, sdelim + strlen(sdelim) + 1);
    utilities::tokenize(vtext.data(), vdelim.data(), lpieces);
}

}  // namespace

mnttab::mnttab(std::string blkdev,
               std::string mntpath,
               std::string fstype,
               const std::list<std::string>& fsargs,
               velka::logger::source* ptr)
    : m_sblkdev(blkdev),
      m_smntpath(normalize_path(mntpath)),
      m_fstype(fstype),
      m_fsargs(fsargs),
      m_plogsrc(ptr),
      m_bstamp(false),
      m_bstampbdev(false),
      m_uifsfreq(0),
      m_uifspassno(0) {}

mnttab::mnttab(std::string blkdev,
               std::string mntpath,
               std::string fstype,
               std::string fsargs,
               velka::logger::source* ptr)
    : m_sblkdev(blkdev),
      m_smntpath(normalize_path(mntpath)),
      m_fstype(fstype),
      m_plogsrc(ptr),
      m_bstamp(false),
      m_bstampbdev(false),
      m_uifsfreq(0),
      m_uifspassno(0) {
    split(fsargs, ",", m_fsargs);
}

mnttab::mnttab(velka::logger::source* ptr)
    : m_plogsrc(ptr), m_bstamp(false), m_bstampbdev(false), m_uifsfreq(0), m_uifspassno(0) {}

std::string mnttab::normalize_path(std::string spath) {
    std::string sresult;
    char cprev = '\0';
    for (char c : spath) {
        if (!(c == '/' && cprev == '/')) sresult.push_back(c);
        cprev = c;
    }
    if (sresult.size() >= 2 && sresult.back() == '/') sresult.pop_back();
    return sresult;
}

int mnttab::mount() {
    velka::fs::fs fsys(m_plogsrc);
    int iret = fsys.mount(m_sblkdev, m_smntpath, m_fstype, m_fsargs);
    if (iret == 0)
        velka::detail::note(m_plogsrc, s_file, "mnttab::mount",
                            "Successfully mounted block device " + m_sblkdev + " at " + m_smntpath);
    else
        velka::detail::failcaught(
            m_plogsrc, s_file, "mnttab::mount",
            "Failed to mount block device " + m_sblkdev + " at " + m_smntpath);
    return iret;
}

int mnttab::umount() {
    velka::fs::fs fsys(m_plogsrc);
    return fsys.umount(m_smntpath);
}

int mnttab::stamp_loc() {
    // An empty location would pass every later check_valid_stamp as the location "".
    if (m_stamploc.empty()) {
        velka::detail::refuse(m_plogsrc, s_file, "mnttab::stamp_loc",
                              "No mount path location set for " + m_smntpath + ": nothing stamped",
                              m_smntpath);
        return -1;
    }
    velka::detail::note(
        m_plogsrc, s_file, "mnttab::stamp_loc",
        "Mount path location will be stamped on block device " + m_sblkdev + " as " + m_stamploc);
    velka::fs::fs fsys(m_plogsrc);
    int iret = fsys.setextendedattribute(m_smntpath, stampid, m_stamploc);
    if (iret != 0) {
        velka::detail::failcaught(m_plogsrc, s_file, "mnttab::stamp_loc",
                                  "Failed to stamp " + m_smntpath + " with a id of " + m_stamploc);
        return iret;
    }
    velka::detail::note(m_plogsrc, s_file, "mnttab::stamp_loc",
                        "Successfully stamped " + m_smntpath);
    if (fsys.setextendedattribute(m_smntpath, zoanid, zoanstamp) != 0) {
        velka::detail::failcaught(m_plogsrc, s_file, "mnttab::stamp_loc",
                                  "Failed to stamp " + m_smntpath + " with a id of " + zoanstamp);
        return -1;
    }
    velka::detail::note(m_plogsrc, s_file, "mnttab::stamp_loc",
                        "Successfully stamped " + m_smntpath);
    return 0;
}

int mnttab::check_valid_stamp(std::string spath, std::string& mpath) {
    velka::detail::note(m_plogsrc, s_file, "mnttab::check_valid_stamp",
                        "Valid orvane stamp will be checked for @ path " + spath);
    velka::fs::fs fsys(m_plogsrc);
    std::string smarker;
    int iret = fsys.getextendedattribute(spath, zoanid, smarker);
    if (iret < 0) {
        velka::detail::failcaught(m_plogsrc, s_file, "mnttab::check_valid_stamp",
                                  "Failed to find valid orvane stamp @ " + spath);
        return iret;
    }
    velka::detail::note(m_plogsrc, s_file, "mnttab::check_valid_stamp",
                        "Found orvane stamp @ " + spath + " with a value of : " + smarker);
    if (smarker != zoanstamp) {
        velka::detail::fail(m_plogsrc, s_file, "mnttab::check_valid_stamp",
                            "Extracted stamp @ " + spath + " does not match with " + zoanstamp);
        return -1;
    }
    std::string sloc;
    if (fsys.getextendedattribute(spath, stampid, sloc) < 0) {
        velka::detail::failcaught(m_plogsrc, s_file, "mnttab::check_valid_stamp",
                                  "Failed to find valid mount stamp @ " + spath);
        return -1;
    }
    if (sloc.empty()) {
        velka::detail::refuse(m_plogsrc, s_file, "mnttab::check_valid_stamp",
                              "Found an empty mount path stamp @ " + spath, spath);
        return -1;
    }
    mpath = sloc;
    velka::detail::note(
        m_plogsrc, s_file, "mnttab::check_valid_stamp",
        "Found a valid mount path stamp @ " + spath + " with a value of : " + mpath);
    return 0;
}

void mnttab::set_blkdev(std::string sblkdev) {
    m_sblkdev = sblkdev;
}

void mnttab::set_mntpath(std::string smntpath) {
    m_smntpath = normalize_path(smntpath);
}

void mnttab::set_fstype(std::string sfstype) {
    m_fstype = sfstype;
}

void mnttab::set_fsargs(std::string sfsargs) {
    split(sfsargs, ",", m_fsargs);
}

void mnttab::set_fsargs(const std::list<std::string>& lfsargs) {
    m_fsargs = lfsargs;
}

void mnttab::set_stamp(bool bstamp) {
    m_bstamp = bstamp;
}

void mnttab::set_stamploc(std::string sstamploc) {
    m_stamploc = sstamploc;
}

void mnttab::set_stampbdev(bool bstampbdev) {
    m_bstampbdev = bstampbdev;
}

void mnttab::set_stampbdevloc(std::string sstampbdevloc) {
    m_stampbdevloc = sstampbdevloc;
}

void mnttab::set_fsfreq(unsigned int uifsfreq) {
    m_uifsfreq = uifsfreq;
}

void mnttab::set_fspassno(unsigned int uifspassno) {
    m_uifspassno = uifspassno;
}

int mnttab::stamp_bdevloc() {
    velka::detail::note(
        m_plogsrc, s_file, "mnttab::stamp_bdevloc",
        "Block device list will be stamped on block device " + m_sblkdev + " as " + m_stampbdevloc);
    velka::fs::fs fsys(m_plogsrc);
    if (fsys.setextendedattribute(m_smntpath, blkdevid, m_stampbdevloc) != 0) {
        velka::detail::failcaught(
            m_plogsrc, s_file, "mnttab::stamp_bdevloc",
            "Failed to stamp " + m_smntpath + " with blkdevid id of " + m_stampbdevloc);
        return -1;
    }
    velka::detail::note(
        m_plogsrc, s_file, "mnttab::stamp_bdevloc",
        "Successfully stamped " + m_smntpath + " with blkdevid id of " + m_stampbdevloc);
    return 0;
}

std::string mnttab::get_blkdev() const {
    return m_sblkdev;
}

std::string mnttab::get_mntpath() const {
    return m_smntpath;
}

std::string mnttab::get_fstype() const {
    return m_fstype;
}

bool mnttab::get_stamp() const {
    return m_bstamp;
}

std::string mnttab::get_stamploc() const {
    return m_stamploc;
}

bool mnttab::get_stampbdev() const {
    return m_bstampbdev;
}

std::string mnttab::get_stampbdevloc() const {
    return m_stampbdevloc;
}

uint32_t mnttab::get_fsfreq() const {
    return m_uifsfreq;
}

uint32_t mnttab::get_fspassno() const {
    return m_uifspassno;
}

std::string mnttab::get_fsargs() const {
    std::list<std::string> lfsargs(m_fsargs);
    std::string ssep(",");
    return utilities::merge(lfsargs, ssep);
}

int mnttab::extract_blkdev_stamp(std::string spath, std::list<std::string>& lblkdev) {
    velka::detail::note(m_plogsrc, s_file, "mnttab::extract_blkdev_stamp",
                        "Block devices will be checked for @ path " + spath);
    velka::fs::fs fsys(m_plogsrc);
    std::string svalue;
    if (fsys.getextendedattribute(spath, blkdevid, svalue) < 0) {
        velka::detail::failcaught(m_plogsrc, s_file, "mnttab::extract_blkdev_stamp",
                                  "Failed to find valid blkdev id attribute @ " + spath);
        return -1;
    }
    // The value is text: it ends at its first NUL byte, if any.
    svalue.resize(strlen(svalue.c_str()));
    velka::detail::note(
        m_plogsrc, s_file, "mnttab::extract_blkdev_stamp",
        "Found a valid blkdev id attribute @ " + spath + " with a value of : " + svalue);
    split(svalue, ":", lblkdev);
    return 0;
}

bool mnttab::stampingsupported() const {
    return m_fstype == "xfs";
}

void mnttab::log_info(const char* func, const char* title_str) {
    std::string stext = std::string(" ") + (title_str != nullptr ? title_str : "") +
                        " BlkDev:" + m_sblkdev + " Mntpath:" + m_smntpath + " FSType:" + m_fstype +
                        " FSArgs:" + get_fsargs() + " FSFreq:" + utilities::uitostr(m_uifsfreq) +
                        " FSPassNo:" + utilities::uitostr(m_uifspassno);
    velka::detail::note(m_plogsrc, s_file, func != nullptr ? func : "", stext);
}

bool mnttab::operator<(const mnttab& rhs) const {
    return m_smntpath < rhs.m_smntpath;
}

bool mnttab::operator==(const mnttab& rhs) const {
    return m_smntpath == rhs.m_smntpath;
}

bool compare(const mnttab& lref, const mnttab& rref) {
    return lref.get_mntpath() < rref.get_mntpath();
}

}  // namespace mnttab
}  // namespace velka
