// Filesystems, swap, directories, links and extended attributes on behalf of the managers:
// each operation builds its tool command line in a builder of its own below (every inserted
// value quoted for the shell, the fixed texts exactly as the tools and the log readers know
// them), logs it, runs it and reports the result. System calls log the system's error text.
#include <velka/fs>

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <velka/logger>
#include <velka/scoped_array>
#include <velka/utilities>

#include "failure.h"
#include "runlogged.h"

namespace velka {
namespace fs {

namespace {

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "fs";
const unsigned int s_xattrbufsize = 4096;

std::string q(const std::string& svalue) {
    return utilities::shellquote(svalue);
}

using velka::utilities::operands;

// echo y | mkfs -t {type} [-i size=512 -f ]{device}
std::string mkfscmd(const std::string& sblkdev, const std::string& sfilesystem, operands& ops) {
    std::string scmd = "echo y | mkfs -t " + q(sfilesystem) + " ";
    if (sfilesystem == "xfs") scmd += std::string("-i size=512 ") + "-f" + " ";
    return scmd + ops.op(sblkdev);
}

// mount -t {type} -o {options} {device} {path}
std::string mountcmd(const std::string& sblkdev,
                     const std::string& smntpath,
                     const std::string& sfilesystem,
                     const std::string& soptions,
                     operands& ops) {
    return "mount -t " + q(sfilesystem) + " -o " + q(soptions) + " " + ops.op(sblkdev) + " " +
           ops.op(smntpath);
}

std::string umountcmd(const std::string& smntpath, operands& ops) {
    return "umount " + ops.op(smntpath);
}

std::string fstypecmd(const std::string& sblkdev, operands& ops) {
    return std::string("blkid ") + "-s TYPE " + ops.op(sblkdev) +
           " | awk '{print $2}' | cut -f 2 -d '=' | tr -d '\"'";
}

// The UUID query of each known type; empty for any other type. blkid is asked for the UUID
// tag alone: its full output puts SEC_TYPE and LABEL tags before the UUID of many FAT
// filesystems.
std::string fsuuidcmd(const std::string& sblkdev, const std::string& sfstype, operands& ops) {
    if (sfstype == "xfs") return "xfs_admin -u " + ops.op(sblkdev) + " | awk '{print $3}'";
    if (sfstype == "ext4")
        return "dumpe2fs " + ops.op(sblkdev) +
               " 2>/dev/null | grep \"Filesystem UUID\" | awk '{print $3}'";
    if (sfstype == "fat" || sfstype == "vfat")
        return "blkid -s UUID " + ops.op(sblkdev) +
               " | awk '{print $2}' | cut -f 2 -d '=' | tr -d '\"'";
    return "";
}

std::string swapuuidcmd(const std::string& sdev, operands& ops) {
    return "swaplabel " + ops.op(sdev) + " | awk '{print $2}'";
}

std::string mkswapcmd(const std::string& sdev, operands& ops) {
    return "mkswap  " + ops.op(sdev);
}

std::string swaponcmd(const std::string& sdev, operands& ops) {
    return "swapon  " + ops.op(sdev);
}

// A builder's refused operand: logged, and the operation fails before anything runs.
bool refused(velka::logger::source* plog, const char* stag, const operands& ops) {
    if (!ops.refused()) return false;
    velka::detail::refuse(plog, s_file, stag,
                          "Refused value " + ops.value() +
                              " error: it begins with '-' and would be read as an option",
                          ops.value());
    return true;
}

// The shared run-and-log step, logging under this module's file name.
int runlogged(velka::logger::source* plog,
              const char* stag,
              const std::string& sannounce,
              const std::string& scmd,
              const std::string& sfailure,
              std::string& sout) {
    return velka::detail::runlogged(plog, s_file, stag, sannounce, scmd, sfailure, sout);
}

// Logs sannounce and runs a query whose output must be one word (a type, a UUID).
bool queryword(velka::logger::source* plog,
               const char* stag,
               const std::string& sannounce,
               const std::string& scmd,
               const std::string& sfailure,
               std::string& sout) {
    return velka::detail::runjudged(
        plog, s_file, stag, sannounce, scmd, sfailure, "value", sout, [](const std::string& s) {
            std::string sword = utilities::trim(s);
            return !sword.empty() && sword.find_first_of(" \t\r\n") == std::string::npos;
        });
}

}  // namespace

fs::fs(velka::logger::source* ptr) : m_plogsrc(ptr) {}

int fs::mkfs(std::string sblkdev, std::string sfilesystem) {
    velka::detail::note(m_plogsrc, s_file, "fs::mkfs",
                        "Request to create " + sfilesystem + " on " + sblkdev);
    operands ops;
    std::string scmd = mkfscmd(sblkdev, sfilesystem, ops);
    if (refused(m_plogsrc, "fs::mkfs", ops) ||
        velka::detail::refusedinuse(m_plogsrc, s_file, "fs::mkfs", sblkdev))
        return -1;
    std::string sout;
    return runlogged(m_plogsrc, "fs::mkfs", "Filesystem will be created using command " + scmd,
                     scmd, "Format command " + scmd + " failed error: ", sout);
}

std::string fs::createarglist(const std::list<std::string>& fsargslist) {
    std::string ssep(",");
    std::string sargs = utilities::merge(fsargslist, ssep);
    velka::detail::note(m_plogsrc, s_file, "fs::createarglist",
                        "Created file system argument: " + sargs);
    return sargs;
}

int fs::mount(std::string sblkdev,
              std::string smntpath,
              std::string sfilesystem,
              const std::list<std::string>& fsargs) {
    operands ops;
    std::string scmd = mountcmd(sblkdev, smntpath, sfilesystem, createarglist(fsargs), ops);
    if (refused(m_plogsrc, "fs::mount", ops)) return -1;
    std::string sout;
    return runlogged(m_plogsrc, "fs::mount", "File system will be mounted using command " + scmd,
                     scmd, "Mount command " + scmd + " failed error: ", sout);
}

int fs::umount(std::string smntpath) {
    operands ops;
    std::string scmd = umountcmd(smntpath, ops);
    if (refused(m_plogsrc, "fs::umount", ops)) return -1;
    std::string sout;
    return runlogged(m_plogsrc, "fs::umount", "File system will be unmounted using command " + scmd,
                     scmd, "Umount command " + scmd + " failed error: ", sout);
}

int fs::mkdir(std::string spath, unsigned int umode) {
    int iret = ::mkdir(spath.c_str(), static_cast<mode_t>(umode));
    if (iret != 0) {
        int ierr = errno;
        velka::detail::failwhat(m_plogsrc, s_file, "fs::mkdir",
                                "Failed to create directory " + spath + " error: " + strerror(ierr),
                                "mkdir " + spath, ierr);
    }
    return iret;
}

int fs::mkdir_r(std::string spath, unsigned int umode) {
    // 1. Split at "/", dropping empty components.
    std::list<std::string> lcomponents;
    std::vector<char> vpath(spath.c_str(), spath.c_str() + strlen(spath.c_str()) + 1);
    char sdelim[] = "/";
    utilities::tokenize(vpath.data(), sdelim, lcomponents);
    // 2. Walk the prefixes from the root, creating what is missing.
    std::string sprefix("/");
    for (const auto& scomponent : lcomponents) {
        sprefix += "/" + scomponent;
        struct stat st;
        if (stat(sprefix.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) continue;
        } else if (errno == ENOENT) {
            if (mkdir(sprefix, umode) != 0) {
                velka::detail::failcaught(m_plogsrc, s_file, "fs::mkdir_r",
                                          "failed to create " + sprefix);
                return -1;
            }
            continue;
        }
        velka::detail::fail(m_plogsrc, s_file, "fs::mkdir_r",
                            "path " + sprefix + " is not a valid directory");
        return -1;
    }
    return 0;
}

int fs::symlink(std::string spath, std::string slinkname) {
    int iret = ::symlink(spath.c_str(), slinkname.c_str());
    if (iret != 0)
        velka::detail::failwhat(
            m_plogsrc, s_file, "fs::symlink",
            "failed to create symbolic link " + slinkname + " pointing to " + spath,
            "symlink " + slinkname, errno);
    else
        velka::detail::note(
            m_plogsrc, s_file, "fs::symlink",
            "Successfully created symbolic link " + slinkname + " pointing to " + spath);
    return iret;
}

std::string fs::getfsuuid(std::string sblkdev, std::string sfstype) {
    operands ops;
    std::string scmd = fsuuidcmd(sblkdev, sfstype, ops);
    if (refused(m_plogsrc, "fs::getfsuuid", ops)) return "";
    std::string sout;
    if (!queryword(m_plogsrc, "fs::getfsuuid", "UUID will be extracted using command " + scmd, scmd,
                   "Failed to extract UUID error: ", sout))
        return "";
    velka::detail::note(m_plogsrc, s_file, "fs::getfsuuid",
                        "Block device " + sblkdev + " filesystem UUID " + sout);
    return utilities::trim(sout);
}

std::string fs::getfstype(std::string sblkdev) {
    operands ops;
    std::string scmd = fstypecmd(sblkdev, ops);
    if (refused(m_plogsrc, "fs::getfstype", ops)) return "";
    std::string sout;
    if (!queryword(m_plogsrc, "fs::getfstype",
                   "Filesystem type will be extracted using command " + scmd, scmd,
                   "Failed to extract filesystem type, error: ", sout))
        return "";
    velka::detail::note(m_plogsrc, s_file, "fs::getfstype", "Filesystem type " + sout);
    return utilities::trim(sout);
}

std::string fs::getswapdevuuid(std::string sdev) {
    operands ops;
    std::string scmd = swapuuidcmd(sdev, ops);
    if (refused(m_plogsrc, "fs::getswapdevuuid", ops)) return "";
    std::string sout;
    // A labelled swap area gives its label and its UUID, two words: no UUID to return.
    if (!queryword(m_plogsrc, "fs::getswapdevuuid",
                   "UUID of swap device will be extracted using command " + scmd, scmd,
                   "Failed to extract UUID from swap device " + sdev + " error: ", sout))
        return "";
    return sout;
}

int fs::createswapdevice(std::string sdev) {
    operands ops;
    std::string scmd = mkswapcmd(sdev, ops);
    if (refused(m_plogsrc, "fs::createswapdevice", ops) ||
        velka::detail::refusedinuse(m_plogsrc, s_file, "fs::createswapdevice", sdev))
        return -1;
    std::string sout;
    return runlogged(m_plogsrc, "fs::createswapdevice",
                     "swap device will be created using command " + scmd, scmd,
                     "Failed to create swap device " + sdev + " error: ", sout);
}

int fs::activateswapdevice(std::string sdev) {
    operands ops;
    std::string scmd = swaponcmd(sdev, ops);
    if (refused(m_plogsrc, "fs::activateswapdevice", ops)) return -1;
    std::string sout;
    return runlogged(m_plogsrc, "fs::activateswapdevice",
                     "swap device will be activated using command " + scmd, scmd,
                     "Failed to activate swap device " + sdev + " error: ", sout);
}

int fs::setextendedattribute(std::string spath, std::string sname, std::string sval) {
    int iret = setxattr(spath.c_str(), sname.c_str(), sval.data(), sval.size(), 0);
    if (iret >= 0) {
        velka::detail::note(m_plogsrc, s_file, "fs::setextendedattribute",
                            "Succesfully created " + sname + " attribute on file " + spath);
    } else {
        int ierr = errno;
        velka::detail::failwhat(m_plogsrc, s_file, "fs::setextendedattribute",
                                "Failed to create " + sname + " attribute on file " + spath +
                                    "error: " + strerror(ierr),
                                "setxattr " + spath, ierr);
    }
    return iret;
}

int fs::getextendedattribute(std::string spath, std::string sname, std::string& sval) {
    velka::scoped_array::scoped_array<char> buf(s_xattrbufsize);
    ssize_t n = getxattr(spath.c_str(), sname.c_str(), buf.get(), buf.size());
    if (n < 0) {
        int ierr = errno;
        velka::detail::failwhat(m_plogsrc, s_file, "fs::getextendedattribute",
                                "Failed to extract " + sname + " attribute from file " + spath +
                                    "error: " + strerror(ierr),
                                "getxattr " + spath, ierr);
        return -1;
    }
    sval.assign(buf.get(), static_cast<size_t>(n));
    velka::detail::note(m_plogsrc, s_file, "fs::getextendedattribute",
                        "Succesfully extracted " + sname + " attribute from file " + spath);
    return static_cast<int>(n);
}

}  // namespace fs
}  // namespace velka
