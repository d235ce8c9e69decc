// The whole inventory of velka-inventory: the sections collected and rendered together.
#include "inventory.h"
#include "inventory_common.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <velka/version>

inventoryfacts inventory_collect(velka::logger::source* plogsrc, bool bconcurrent) {
    inventoryfacts inv;
    disksjob job;
    // The disks' child is forked before any thread starts.
    if (bconcurrent) job = disks_start(plogsrc);
    invtools::runsteps({[&] { inv.platform = platform_collect(plogsrc, bconcurrent); },
                        [&] { inv.pci = pci_collect("", plogsrc); },
                        [&] {
                            if (!bconcurrent) job = disks_start(plogsrc);
                            inv.disks = disks_finish(job, plogsrc);
                        },
                        [&] { inv.lvm = lvm_collect(plogsrc, bconcurrent); },
                        [&] { inv.boot = boot_collect(plogsrc, bconcurrent); }},
                       bconcurrent);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    inv.dfinished = static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
    return inv;
}

void inventory_table(FILE* out, const inventoryfacts& inv) {
    platform_table(out, inv.platform);
    pci_table(out, inv.pci, false);
    fputs(inv.disks.stable.c_str(), out);
    lvm_table(out, inv.lvm);
    boot_table(out, inv.boot);
}

std::string inventory_json(const inventoryfacts& inv) {
    return "{\n  \"version\": " + invtools::jsonstring(velka::version()) +
           ",\n  \"platform\": " + platform_json(inv.platform) +
           ",\n  \"pci\": " + pci_json(inv.pci) + ",\n  \"disks\": " + inv.disks.sjson +
           ",\n  \"other_block_devices\": " + inv.disks.sotherjson +
           ",\n  \"volume_groups\": " + lvm_json(inv.lvm) +
           ",\n  \"physical_volumes\": " + lvm_pvjson(inv.lvm) + boot_json(inv.boot) + "\n}\n";
}

std::string inventory_prometheus(const inventoryfacts& inv) {
    invtools::promtext run;
    run.add("velka_build_info", "The version of the velka library that collected the metrics.",
            invtools::labels({{"version", velka::version()}}), 1);
    run.add("velka_inventory_last_run_timestamp_seconds",
            "When velka-inventory last collected these metrics, in seconds since the epoch.", "",
            inv.dfinished);
    struct section {
        const char* sname;
        bool bok;
    };
    const section vsections[] = {
        {"platform", inv.platform.bok}, {"pci", inv.pci.breadable && !inv.pci.lfunctions.empty()},
        {"disks", inv.disks.bok},       {"lvm", inv.lvm.bok},
        {"smart", inv.boot.bsmartctl},  {"raid", inv.boot.bdmidecode}};
    for (const auto& s : vsections)
        run.add("velka_inventory_section_success",
                "1 when the section of the inventory could be collected, 0 when it failed or its "
                "tools are missing.",
                invtools::labels({{"section", s.sname}}), s.bok ? 1 : 0);
    invtools::promtext pci, lvm, smart;
    pci_prom(inv.pci, pci);
    lvm_prom(inv.lvm, lvm);
    boot_prom(inv.boot, smart);
    return run.text() + inv.disks.sprom + smart.text() + lvm.text() + pci.text();
}

namespace {

const char* const s_tempprefix = ".velka-inventory.";

// What a file that is not a regular file is, in words.
const char* filekind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a regular file";
}

// Removes the temporary files that runs killed before their rename left in the directory:
// regular files named as mkostemp names this command's (the prefix and six characters), last
// changed more than an hour ago. A run in progress changes its file within seconds.
void removestale(const std::string& sdir) {
    DIR* pdir = opendir(sdir.c_str());
    if (pdir == nullptr) return;
    time_t tlimit = time(nullptr) - 3600;
    size_t uprefix = strlen(s_tempprefix);
    while (struct dirent* pent = readdir(pdir)) {
        std::string sname = pent->d_name;
        if (sname.size() != uprefix + 6 || sname.compare(0, uprefix, s_tempprefix) != 0 ||
            sname.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                    "0123456789",
                                    uprefix) != std::string::npos)
            continue;
        struct stat st;
        if (fstatat(dirfd(pdir), sname.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && st.st_mtime < tlimit)
            unlinkat(dirfd(pdir), sname.c_str(), 0);
    }
    closedir(pdir);
}

}  // namespace

int inventory_checkfile(const std::string& sfile, std::string& serror) {
    struct stat st;
    if (lstat(sfile.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return 0;
    serror = sfile + " is " + filekind(st.st_mode) +
             ", not a regular file: it is left as it is and nothing is written";
    return -1;
}

int inventory_writefile(const std::string& sfile, const std::string& stext, std::string& serror) {
    if (inventory_checkfile(sfile, serror) != 0) return -1;
    size_t uslash = sfile.rfind('/');
    std::string sdir = uslash == std::string::npos ? "." : sfile.substr(0, uslash + 1);
    removestale(sdir);
    std::string stemp =
        (uslash == std::string::npos ? std::string("./") : sdir) + s_tempprefix + "XXXXXX";
    std::vector<char> vtemp(stemp.begin(), stemp.end());
    vtemp.push_back('\0');
    int ifd = mkostemp(vtemp.data(), O_CLOEXEC);
    if (ifd < 0) {
        int ierr = errno;
        serror = "cannot create a temporary file in " + sdir + ": " + strerror(ierr);
        return -1;
    }
    const char* p = stext.data();
    size_t n = stext.size();
    int ierr = 0;
    while (n > 0 && ierr == 0) {
        ssize_t w = write(ifd, p, n);
        if (w < 0 && errno != EINTR) ierr = errno;
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
        }
    }
    if (ierr == 0 && fchmod(ifd, 0644) != 0) ierr = errno;
    if (ierr == 0 && fsync(ifd) != 0) ierr = errno;
    if (close(ifd) != 0 && ierr == 0) ierr = errno;
    // Asked again at the last moment: FILE may have been replaced while the inventory ran.
    if (ierr == 0 && inventory_checkfile(sfile, serror) != 0) {
        unlink(vtemp.data());
        return -1;
    }
    if (ierr == 0 && rename(vtemp.data(), sfile.c_str()) != 0) ierr = errno;
    if (ierr != 0) {
        unlink(vtemp.data());
        serror = std::string("cannot write ") + sfile + ": " + strerror(ierr);
        return -1;
    }
    // The rename is only lasting once the directory is on disk too.
    int idir = open(sdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (idir < 0 || fsync(idir) != 0) ierr = errno;
    if (idir >= 0) close(idir);
    if (ierr != 0) {
        serror = sfile + " is written, but its directory " + sdir +
                 " cannot be synced: " + strerror(ierr);
        return -1;
    }
    return 0;
}
