// udev database entries: asks udevadm for the properties of a block device node and stores
// them in udev's own database format, one "E:KEY=value" line each, in
// "/run/udev/data/b{major}:{minor}". An entry that exists is left alone; an answer without any
// property leaves no file behind, so a later call can still write the entry.
#include <velka/udev>

#include "internal/udev.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include <velka/fs>
#include <velka/logger>
#include <velka/utilities>
#include "failure.h"

namespace velka {
namespace udev {

namespace {

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "udev";
const char* const s_rundir = "/run/udev/data";
// Time given to udevadm before its answer is read.
const int s_udevadmdelay = 100;

bool isexecutable(const char* spath) {
    struct stat st;
    return ::stat(spath, &st) == 0 && S_ISREG(st.st_mode) && ::access(spath, X_OK) == 0;
}

// {udevadm} info --query=property --name {device}; empty when the device is refused as an
// operand.
std::string infocmd(const std::string& spath) {
    std::string squoted;
    if (!utilities::quoteoperand(spath, squoted)) return "";
    return udev::udevadmpath() + " info --query=property --name " + squoted;
}

}  // namespace

udev::udev(velka::logger::source* plogsrc) : m_srun(s_rundir), m_plogsrc(plogsrc) {
    if (utilities::isdir(m_srun)) {
        velka::detail::note(m_plogsrc, s_file, "udev::udev", "Directory already exists " + m_srun);
        return;
    }
    velka::fs::fs fsobj(m_plogsrc);
    if (fsobj.mkdir_r(m_srun, 0755) != 0)
        velka::detail::fail(m_plogsrc, s_file, "udev::udev",
                            "Failed to create directory " + m_srun);
    else
        velka::detail::note(m_plogsrc, s_file, "udev::udev",
                            "Successfully created directory " + m_srun);
}

std::string udev::udevadmpath() {
    static const char* const s_candidates[] = {"/sbin/udevadm", "/usr/bin/udevadm", "/bin/udevadm"};
    for (const char* scandidate : s_candidates) {
        if (isexecutable(scandidate)) return scandidate;
    }
    return "udevadm";
}

int entrylines(const std::list<std::string>& loutput, std::list<std::string>& lentry) {
    // udev reads only "X:..." lines of a database file; a property is "E:KEY=value". A bare
    // KEY=value line would be ignored and the entry would mark the device initialised with
    // no properties at all.
    lentry.clear();
    for (const std::string& sline : loutput) {
        std::string sprop = utilities::trim(sline);
        size_t upos = sprop.find('=');
        if (upos == 0 || upos == std::string::npos || sprop.find_first_of(" \t") < upos) continue;
        lentry.push_back("E:" + sprop);
    }
    return lentry.empty() ? -1 : 0;
}

// stat(2) of spath (links followed), then the entry of its numbers. Logs "Is not a block
// device : {path}" and returns -1 for anything but a block special file.
int udev::create_entry(const std::string& spath) {
    if (utilities::isoption(spath)) {
        velka::detail::refuse(m_plogsrc, s_file, "udev::create_entry",
                              "Block device " + spath + " refused: value begins with '-'");
        return -1;
    }
    struct stat st;
    if (::stat(spath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        velka::detail::fail(m_plogsrc, s_file, "udev::create_entry",
                            "Is not a block device : " + spath);
        return -1;
    }
    int imajor = static_cast<int>(major(st.st_rdev));
    int iminor = static_cast<int>(minor(st.st_rdev));
    velka::detail::note(m_plogsrc, s_file, "udev::create_entry",
                        "Block device: " + spath + " Major: " + utilities::itostr(imajor) +
                            " Minor: " + utilities::itostr(iminor));
    int iret = create_entry(spath, imajor, iminor);
    if (iret == 0)
        velka::detail::note(m_plogsrc, s_file, "udev::create_entry",
                            "Succesfully created create udev entry for block device " + spath);
    else
        velka::detail::fail(m_plogsrc, s_file, "udev::create_entry",
                            "Failed to create udev entry for block device " + spath);
    return iret;
}

// {udevadm} info --query=property --name {device} > /run/udev/data/b{major}:{minor}, unless
// that file exists. -1 when udevadm cannot run or prints no property, or the file cannot be
// written.
int udev::create_entry(const std::string& spath, int imajor, int iminor) {
    std::string sentry =
        m_srun + "/b" + utilities::itostr(imajor) + ":" + utilities::itostr(iminor);
    std::string scmd = infocmd(spath);
    if (scmd.empty()) {
        velka::detail::refuse(m_plogsrc, s_file, "udev::create_entry",
                              "Block device " + spath + " refused: value begins with '-'");
        return -1;
    }
    velka::detail::note(
        m_plogsrc, s_file, "udev::create_entry",
        "udev information will be extracted for " + spath + " using command " + scmd);
    if (utilities::isfile(sentry)) return 0;

    std::list<std::string> loutput;
    std::list<std::string> lentry;
    if (utilities::popen(scmd, loutput, s_udevadmdelay) != 0 || entrylines(loutput, lentry) != 0) {
        velka::detail::fail(m_plogsrc, s_file, "udev::create_entry",
                            "Failed to extract output of command " + scmd);
        return -1;
    }
    int iret = utilities::write(sentry, lentry);
    if (iret == 0) {
        velka::detail::note(m_plogsrc, s_file, "udev::create_entry",
                            "Succesfully created create udev entry " + sentry);
        return 0;
    }
    velka::detail::fail(m_plogsrc, s_file, "udev::create_entry",
                        "Failed to create udev entry " + sentry);
    ::unlink(sentry.c_str());
    return iret;
}

}  // namespace udev
}  // namespace velka
