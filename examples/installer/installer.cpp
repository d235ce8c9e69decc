// installer: turns one blank disk of this machine into a system disk, with nothing but the
// public interface of velka. Start from it for an appliance's own installer.
//
//   installer [OPTIONS] --image ROOT.tar.gz
//
// Plan (options):
//   --device PATH     install on this device (one the disk manager may not know: a loop
//                     device), or else
//   --serial S        on the discovered disk with this serial number, or else
//   --min-size SIZE   on the smallest unused disk of at least SIZE (default: what the plan needs)
//   --esp SIZE        EFI system partition (default 256M)
//   --root SIZE       root thin volume (default 4G)
//   --data SIZE       data thin volume (default 4G)
//   --swap SIZE       swap volume (default 512M)
//   --fs xfs|ext4     filesystem of root and data (default xfs)
//   --vg NAME         volume group (default system); the thin pool is NAME's "pool"
//   --target DIR      where the new tree is mounted while it is filled (default /mnt/target)
//   --image FILE      root image, a .tar.gz made by velka's archiver (required)
//   --data-set DIR    files copied into /data of the new system (optional)
//   --mount-config F  mount configuration of the installed tree, paths under the target, in
//                     fstab format: `mount -a -T F` mounts the tree again (default
//                     TARGET/etc/velka/mounts)
//   --log FILE        log file (default /var/log/velka-installer.log)
//   --keep-mounted    leave the new tree mounted after a successful install
//   --timings         at the end, one line "step NAME SECONDS" per step on standard error
//   --dry-run         discover and choose the disk, print every step, change nothing
// SIZE is a number of bytes with an optional K, M, G or T (powers of 1024).
//
// Steps: discover the disks (SMART verdict where the disk has one: a failed verdict refuses
// the disk), GPT label with an EFI system partition (vfat) and one LVM partition, a volume
// group with a swap volume and a thin pool holding the thin volumes root and data, the
// filesystems and swap, the tree mounted under the target, the root image restored, the data
// set copied, the location stamps, TARGET/etc/fstab and the mount configuration written.
// Every step is logged; on success the tree is unmounted and the group deactivated.
//
// Exit codes:
//   0  installed (or, with --dry-run, a disk was chosen and the plan printed)
//   1  a step failed: its cause is on standard error; what the installer mounted is unmounted
//   2  bad options
//   3  no disk fits the plan, or the disk asked for is refused (nothing was written)
//   4  a step failed and the cleanup failed too: something may still be mounted (see the log)
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <string>
#include <vector>

#include <velka/archiver>
#include <velka/blkdev>
#include <velka/exception>
#include <velka/fs>
#include <velka/lasterror>
#include <velka/logger>
#include <velka/lvm>
#include <velka/mntconfig>
#include <velka/mnttab>
#include <velka/mtcopy>
#include <velka/smartctl>
#include <velka/utilities>

namespace {

const unsigned long long s_mib = 1ULL << 20;
const unsigned int s_extentmb = 4;  // extent size of the volume group, in MB

enum exitcode { e_ok = 0, e_failed = 1, e_usage = 2, e_nodisk = 3, e_dirty = 4 };

struct plan {
    std::string sdevice;
    std::string sserial;
    unsigned long long ullminsize = 0;
    unsigned long long ullesp = 256 * s_mib;
    unsigned long long ullroot = 4096 * s_mib;
    unsigned long long ulldata = 4096 * s_mib;
    unsigned long long ullswap = 512 * s_mib;
    std::string sfstype = "xfs";
    std::string svg = "system";
    std::string starget = "/mnt/target";
    std::string simage;
    std::string sdataset;
    std::string smountconfig;
    std::string slog = "/var/log/velka-installer.log";
    bool bkeepmounted = false;
    bool bdryrun = false;
    bool btimings = false;

    // What the disk must hold: 1 MiB before the first partition, the partitions, and room for
    // the LVM metadata and the thin pool's own (which the library sets aside) beyond the
    // volumes themselves.
    unsigned long long needed() const {
        return s_mib + ullesp + ullswap + ullroot + ulldata + 512 * s_mib;
    }
};

// "512M", "2G", "1073741824": bytes; 0 when the text is not a size.
unsigned long long parsesize(const std::string& stext) {
    if (stext.empty() || stext[0] < '0' || stext[0] > '9') return 0;
    char* pend = nullptr;
    errno = 0;
    unsigned long long ull = strtoull(stext.c_str(), &pend, 10);
    if (errno != 0) return 0;
    std::string sunit(pend);
    unsigned int ushift = sunit.empty()  ? 0
                          : sunit == "K" ? 10
                          : sunit == "M" ? 20
                          : sunit == "G" ? 30
                          : sunit == "T" ? 40
                                         : 99;
    if (ushift == 99 || ull > (~0ULL >> ushift)) return 0;
    return ull << ushift;
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string mib(unsigned long long ullbytes) {
    return std::to_string(ullbytes / s_mib) + "MiB";
}

class installer {
public:
    installer(const plan& p, velka::logger::source* plog) : m_plan(p), m_plog(plog), m_fs(plog) {}

    int run();
    // The wall time of each step run, in the order run ("step NAME SECONDS").
    void printtimings() const {
        for (const auto& t : m_vtimes) fprintf(stderr, "step %s %.3f\n", t.first, t.second);
    }

private:
    int timed(const char* sname, int (installer::*pstep)()) {
        double dstart = now();
        int irc = (this->*pstep)();
        m_vtimes.emplace_back(sname, now() - dstart);
        return irc;
    }

    // One step: printed, logged.
    void step(const std::string& stext) {
        printf("%s%s\n", m_plan.bdryrun ? "would: " : "", stext.c_str());
        fflush(stdout);
        velka::logger::LOG(m_plog, velka::logger::lvl_info, "installer: " + stext);
    }
    // A failed step: the library's record of why on standard error and in the log.
    int fail(const std::string& swhat) {
        velka::failure err = velka::last_error();
        std::string scause = err.empty() ? "no cause recorded" : err.tostr();
        fprintf(stderr, "installer: %s failed: %s\n", swhat.c_str(), scause.c_str());
        // The tool's own words, when a tool failed.
        if (!err.m_serr.empty()) fprintf(stderr, "%s\n", err.m_serr.c_str());
        velka::logger::LOG(m_plog, velka::logger::lvl_err,
                           "installer: " + swhat + " failed: " + scause);
        return e_failed;
    }

    int choosedisk();
    std::string refusal(const std::string& sdev,
                        unsigned long long ullsize,
                        unsigned long long ullmin,
                        bool bremovable);
    void report(const std::string& sdev,
                unsigned long long ullsize,
                const std::string& sdesc,
                const std::string& sreason);
    int partition();
    int buildvolumes();
    int makefilesystems();
    int mountall();
    int restore();
    int copydataset();
    int stamp();
    int writeconfig();
    bool unmountall();
    bool waitfornode(const std::string& snode);

    // A path of the installed system ("/data") as mounted now ("/mnt/target/data").
    std::string under(const std::string& spath) const {
        return spath == "/" ? m_plan.starget : m_plan.starget + spath;
    }
    std::string lvpath(const std::string& slv) const {
        return "/dev/" + m_plan.svg + "/" + slv;
    }

    plan m_plan;
    velka::logger::source* m_plog;
    velka::fs::fs m_fs;
    std::string m_sdisk;
    std::string m_sesp;
    std::string m_spv;
    std::list<velka::mnttab::mnttab> m_lmounted;  // in mount order
    bool m_bvgcreated = false;
    std::vector<std::pair<const char*, double>> m_vtimes;
};

// Why a disk cannot take the installation; empty when it can.
std::string installer::refusal(const std::string& sdev,
                               unsigned long long ullsize,
                               unsigned long long ullmin,
                               bool bremovable) {
    std::string susage;
    if (bremovable) return "removable";
    if (velka::utilities::utilities::inuse(sdev, susage)) return "in use: " + susage;
    std::string sfstype = m_fs.getfstype(sdev);
    if (!sfstype.empty()) return "holds a " + sfstype + " signature";
    if (!velka::blkdev::blkdev(sdev, m_plog).extractpartitioninfo().empty())
        return "has partitions";
    if (ullsize < ullmin) return mib(ullsize) + " is less than " + mib(ullmin);
    // A disk without a verdict (no SMART, or smartctl cannot read it) is taken.
    velka::smartctl::smartctl smart(sdev, m_plog);
    if (smart.extractoverallhealth() == 0 && smart.hasoverallverdict() && !smart.getoverallhealth())
        return "SMART overall health verdict is failed";
    return "";
}

void installer::report(const std::string& sdev,
                       unsigned long long ullsize,
                       const std::string& sdesc,
                       const std::string& sreason) {
    const std::string sline =
        sdev + "  " + mib(ullsize) + "  " + sdesc + ": " + (sreason.empty() ? "fits" : sreason);
    printf("  %s\n", sline.c_str());
    velka::logger::LOG(m_plog, velka::logger::lvl_info, "installer: disk " + sline);
}

int installer::choosedisk() {
    const unsigned long long ullmin = std::max(m_plan.ullminsize, m_plan.needed());
    struct candidate {
        std::string sdev;
        unsigned long long ullsize;
    };
    std::vector<candidate> vfit;
    std::string swhy;
    if (!m_plan.sdevice.empty()) {
        // A device named on the command line: not looked up among the discovered disks (a
        // loop device, a disk of a bus the disk manager does not know), checked all the same.
        step("use the device " + m_plan.sdevice + " named on the command line");
        unsigned long long ullsize = 0;
        int ifd = open(m_plan.sdevice.c_str(), O_RDONLY | O_CLOEXEC);
        if (ifd < 0 || ioctl(ifd, BLKGETSIZE64, &ullsize) != 0) ullsize = 0;
        if (ifd >= 0) close(ifd);
        std::string sreason =
            ullsize == 0 ? "not a block device" : refusal(m_plan.sdevice, ullsize, ullmin, false);
        report(m_plan.sdevice, ullsize, "named", sreason);
        if (sreason.empty()) vfit.push_back({m_plan.sdevice, ullsize});
        swhy = m_plan.sdevice + " refused: " + sreason;
    } else {
        step("discover the disks");
        velka::blkdev::blkdevmgr mgr(m_plog);
        bool bserialfound = false;
        for (const velka::blkdev::blkdev& bdev : mgr.get_blkdevs()) {
            const std::string sdev = bdev.get_dev();
            // ATA serials come padded with blanks.
            const std::string sserial = velka::utilities::utilities::trim(bdev.get_serial());
            const unsigned long long ullsize = bdev.get_blocks() * bdev.get_blksize();
            std::string sreason;
            if (!m_plan.sserial.empty() && sserial != m_plan.sserial) {
                sreason = "serial is not " + m_plan.sserial;
            } else {
                bserialfound = bserialfound || !m_plan.sserial.empty();
                sreason = refusal(sdev, ullsize, ullmin, bdev.get_removable());
            }
            report(sdev, ullsize,
                   velka::blkdev::blkdevmgr::decodetransporttype(bdev.get_transport()) +
                       " serial " + sserial,
                   sreason);
            if (sreason.empty()) vfit.push_back({sdev, ullsize});
        }
        swhy = !m_plan.sserial.empty() && !bserialfound
                   ? "no disk has the serial " + m_plan.sserial
                   : "no unused disk of at least " + mib(ullmin);
    }
    if (vfit.empty()) {
        fprintf(stderr, "installer: %s\n", swhy.c_str());
        velka::logger::LOG(m_plog, velka::logger::lvl_err, "installer: " + swhy);
        return e_nodisk;
    }
    // The smallest disk that fits keeps the larger ones for data; the name breaks a tie.
    std::sort(vfit.begin(), vfit.end(), [](const candidate& a, const candidate& b) {
        return a.ullsize != b.ullsize ? a.ullsize < b.ullsize : a.sdev < b.sdev;
    });
    m_sdisk = vfit.front().sdev;
    step("install on " + m_sdisk + " (" + mib(vfit.front().ullsize) + "): " +
         (!m_plan.sdevice.empty()   ? std::string("named on the command line")
          : !m_plan.sserial.empty() ? "serial " + m_plan.sserial
                                    : "the smallest unused disk of at least " + mib(ullmin)));
    return e_ok;
}

// The kernel makes the partition nodes after parted has returned; udev may take a moment.
bool installer::waitfornode(const std::string& snode) {
    for (int i = 0; i < 100; ++i) {
        if (velka::utilities::utilities::isblkdev(snode)) return true;
        usleep(100000);
    }
    fprintf(stderr, "installer: %s did not appear\n", snode.c_str());
    return false;
}

int installer::partition() {
    m_sesp = velka::utilities::utilities::get_partition_name(m_sdisk, 1);
    m_spv = velka::utilities::utilities::get_partition_name(m_sdisk, 2);
    const std::string sespend = mib(s_mib + m_plan.ullesp);
    step("GPT label on " + m_sdisk);
    step("partition 1 \"esp\" 1MiB.." + sespend + " (" + m_sesp + ", flag esp)");
    step("partition 2 \"lvm\" " + sespend + "..100% (" + m_spv + ", flag lvm)");
    if (m_plan.bdryrun) return e_ok;
    velka::blkdev::blkdev disk(m_sdisk, m_plog);
    if (disk.setlabel("gpt") != 0) return fail("GPT label on " + m_sdisk);
    if (disk.createpartition("1MiB", sespend, "esp") != 0 || disk.setpartitionflag(1, "esp") != 0)
        return fail("EFI system partition on " + m_sdisk);
    if (disk.createpartition(sespend, "100%", "lvm") != 0 || disk.setpartitionflag(2, "lvm") != 0)
        return fail("LVM partition on " + m_sdisk);
    if (!waitfornode(m_sesp) || !waitfornode(m_spv)) return e_failed;
    return e_ok;
}

int installer::buildvolumes() {
    const unsigned long long ullswap = m_plan.ullswap / (s_extentmb * s_mib);
    const unsigned long long ullroot = m_plan.ullroot / (s_extentmb * s_mib);
    const unsigned long long ulldata = m_plan.ulldata / (s_extentmb * s_mib);
    step("volume group " + m_plan.svg + " on " + m_spv + " (" + std::to_string(s_extentmb) +
         " MB extents)");
    step("volume swap, " + std::to_string(ullswap) + " extents");
    step("thin pool pool on the rest of " + m_plan.svg);
    step("thin volumes root (" + std::to_string(ullroot) + " extents) and data (" +
         std::to_string(ulldata) + " extents)");
    if (m_plan.bdryrun) return e_ok;
    velka::lvm::lvm lvm(std::list<std::string>{m_spv}, m_plog);
    if (lvm.vgcreate(m_plan.svg, s_extentmb) != 0) return fail("volume group " + m_plan.svg);
    m_bvgcreated = true;
    if (lvm.lvcreate("swap", ullswap) != 0) return fail("swap volume");
    if (lvm.lvpoolcreate("pool", 0) != 0) return fail("thin pool");
    if (lvm.thinlvcreate("pool", "root", ullroot) != 0) return fail("thin volume root");
    if (lvm.thinlvcreate("pool", "data", ulldata) != 0) return fail("thin volume data");
    for (const char* slv : {"swap", "root", "data"})
        if (!waitfornode(lvpath(slv))) return e_failed;
    return e_ok;
}

int installer::makefilesystems() {
    step("vfat on " + m_sesp);
    step(m_plan.sfstype + " on " + lvpath("root") + " and " + lvpath("data"));
    step("swap on " + lvpath("swap"));
    if (m_plan.bdryrun) return e_ok;
    if (m_fs.mkfs(m_sesp, "vfat") != 0) return fail("vfat on " + m_sesp);
    for (const char* slv : {"root", "data"})
        if (m_fs.mkfs(lvpath(slv), m_plan.sfstype) != 0)
            return fail(m_plan.sfstype + " on " + lvpath(slv));
    if (m_fs.createswapdevice(lvpath("swap")) != 0) return fail("swap on " + lvpath("swap"));
    return e_ok;
}

int installer::mountall() {
    struct mountpoint {
        std::string sdev, spath, stype;
    };
    const mountpoint amounts[] = {{lvpath("root"), "/", m_plan.sfstype},
                                  {lvpath("data"), "/data", m_plan.sfstype},
                                  {m_sesp, "/boot/efi", "vfat"}};
    for (const mountpoint& mp : amounts) {
        step("mount " + mp.sdev + " on " + under(mp.spath));
        if (m_plan.bdryrun) continue;
        if (m_fs.mkdir_r(under(mp.spath), 0755) != 0) return fail("directory " + under(mp.spath));
        velka::mnttab::mnttab ent(mp.sdev, under(mp.spath), mp.stype, "defaults", m_plog);
        ent.set_stamploc(mp.spath);
        if (ent.mount() != 0) return fail("mount " + mp.sdev + " on " + under(mp.spath));
        m_lmounted.push_back(ent);
    }
    return e_ok;
}

int installer::restore() {
    step("restore " + m_plan.simage + " into " + m_plan.starget);
    if (m_plan.bdryrun) return e_ok;
    // The archiver takes its jobs from a list file: one line, the archive and the directory.
    char slist[] = "/tmp/velka-installer.XXXXXX";
    int ifd = mkstemp(slist);
    if (ifd < 0) {
        fprintf(stderr, "installer: list file: %s\n", strerror(errno));
        return e_failed;
    }
    std::string sline = m_plan.simage + " " + m_plan.starget + "\n";
    bool bwritten = write(ifd, sline.data(), sline.size()) == static_cast<ssize_t>(sline.size());
    close(ifd);
    velka::archiver::archiver arch(m_plog);
    int irc = bwritten ? arch.extractgziparchive(slist) : -1;
    unlink(slist);
    if (irc != 0) return fail("restore of " + m_plan.simage);
    return e_ok;
}

int installer::copydataset() {
    if (m_plan.sdataset.empty()) return e_ok;
    const std::string sdest = under("/data");
    step("copy " + m_plan.sdataset + " into " + sdest);
    if (m_plan.bdryrun) return e_ok;
    namespace stdfs = std::filesystem;
    std::error_code ec;
    stdfs::recursive_directory_iterator it(m_plan.sdataset, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const stdfs::path& src = it->path();
        const std::string sto = sdest + "/" + stdfs::relative(src, m_plan.sdataset).string();
        stdfs::file_status st = it->symlink_status(ec);
        if (ec) break;
        if (stdfs::is_symlink(st)) {
            if (m_fs.symlink(stdfs::read_symlink(src).string(), sto) != 0)
                return fail("link " + sto);
        } else if (stdfs::is_directory(st)) {
            if (m_fs.mkdir_r(sto, 0755) != 0) return fail("directory " + sto);
        } else if (stdfs::is_regular_file(st)) {
            try {
                velka::mtcopy::mtcopy copy(src.string(), sto, 1 << 20, m_plog);
                if (copy.wait() != 0) return fail("copy of " + src.string());
            } catch (velka::exception::exception& e) {
                fprintf(stderr, "installer: copy of %s failed: %s\n", src.c_str(), e().c_str());
                return e_failed;
            }
        }
    }
    if (ec) {
        fprintf(stderr, "installer: reading %s: %s\n", m_plan.sdataset.c_str(),
                ec.message().c_str());
        return e_failed;
    }
    return e_ok;
}

// Every mounted filesystem carries the path it has in the installed system, so that a
// recovery tool can tell which volume is which. FAT keeps no extended attributes.
int installer::stamp() {
    for (velka::mnttab::mnttab& ent : m_lmounted) {
        if (ent.get_fstype() == "vfat") {
            step("no stamp on " + ent.get_mntpath() + " (vfat has no extended attributes)");
            continue;
        }
        step("stamp " + ent.get_mntpath() + " as " + ent.get_stamploc());
        if (ent.stamp_loc() != 0) return fail("stamp of " + ent.get_mntpath());
    }
    if (m_plan.bdryrun)
        step("stamp " + m_plan.starget + " as / and " + under("/data") + " as /data");
    return e_ok;
}

int installer::writeconfig() {
    const std::string sfstab = under("/etc/fstab");
    step("fstab " + sfstab + " and mount configuration " + m_plan.smountconfig);
    if (m_plan.bdryrun) return e_ok;
    // The EFI partition by its UUID: disk names follow probe order and change between boots.
    std::string suuid = m_fs.getfsuuid(m_sesp, "vfat");
    if (suuid.empty()) return fail("UUID of " + m_sesp);
    std::list<velka::mnttab::mnttab> lfstab, lconfig;
    for (const velka::mnttab::mnttab& mounted : m_lmounted) {
        velka::mnttab::mnttab ent(mounted);
        if (ent.get_fstype() == "vfat") ent.set_blkdev("UUID=" + suuid);
        ent.set_fspassno(ent.get_stamploc() == "/" ? 1 : 2);
        lconfig.push_back(ent);
        ent.set_mntpath(ent.get_stamploc());
        lfstab.push_back(ent);
    }
    lfstab.push_back(velka::mnttab::mnttab(lvpath("swap"), "none", "swap", "sw", m_plog));
    if (m_fs.mkdir_r(under("/etc"), 0755) != 0) return fail("directory " + under("/etc"));
    {
        velka::mntconfig::mntconfig fstab(sfstab, velka::mntconfig::updateentries, m_plog);
        if (fstab.update(lfstab) != 0) return fail("fstab " + sfstab);
    }
    std::string sdir = std::filesystem::path(m_plan.smountconfig).parent_path().string();
    if (!sdir.empty() && m_fs.mkdir_r(sdir, 0755) != 0) return fail("directory " + sdir);
    velka::mntconfig::mntconfig config(m_plan.smountconfig, velka::mntconfig::updateentries,
                                       m_plog);
    if (config.update(lconfig) != 0) return fail("mount configuration " + m_plan.smountconfig);
    return e_ok;
}

// Unmounts in the reverse order of mounting; true when nothing of ours is left mounted.
bool installer::unmountall() {
    bool bclean = true;
    sync();
    while (!m_lmounted.empty()) {
        velka::mnttab::mnttab& ent = m_lmounted.back();
        step("unmount " + ent.get_mntpath());
        if (ent.umount() != 0) {
            fail("unmount " + ent.get_mntpath());
            bclean = false;
        }
        m_lmounted.pop_back();
    }
    return bclean;
}

int installer::run() {
    int irc = timed("discover", &installer::choosedisk);
    if (irc != e_ok) return irc;
    const std::pair<const char*, int (installer::*)()> asteps[] = {
        {"partition", &installer::partition},
        {"volumes", &installer::buildvolumes},
        {"filesystems", &installer::makefilesystems},
        {"mount", &installer::mountall},
        {"restore", &installer::restore},
        {"copy", &installer::copydataset},
        {"stamp", &installer::stamp},
        {"config", &installer::writeconfig}};
    for (const auto& st : asteps) {
        irc = timed(st.first, st.second);
        if (irc != e_ok) break;
    }
    if (m_plan.bdryrun) return irc;
    if (irc == e_ok && m_plan.bkeepmounted) {
        step("installed on " + m_sdisk + "; the tree stays mounted on " + m_plan.starget);
        return e_ok;
    }
    double dstart = now();
    bool bclean = unmountall();
    m_vtimes.emplace_back("unmount", now() - dstart);
    if (irc == e_ok && bclean && m_bvgcreated) {
        step("deactivate volume group " + m_plan.svg);
        dstart = now();
        velka::lvm::lvm lvm(m_plog);
        if (lvm.stopvg(m_plan.svg) != 0) irc = fail("deactivation of " + m_plan.svg);
        m_vtimes.emplace_back("deactivate", now() - dstart);
    }
    if (!bclean) return e_dirty;
    if (irc == e_ok) step("installed on " + m_sdisk);
    return irc;
}

void usage() {
    fprintf(stderr,
            "usage: installer [--device PATH | --serial S | --min-size SIZE] [--esp SIZE] [--root "
            "SIZE]\n"
            "                 [--data SIZE] [--swap SIZE] [--fs xfs|ext4] [--vg NAME]\n"
            "                 [--target DIR] [--data-set DIR] [--mount-config FILE]\n"
            "                 [--log FILE] [--keep-mounted] [--timings] [--dry-run] --image "
            "ROOT.tar.gz\n");
}

// A value that reaches a tool or a list file as one word: no blanks, no leading "-".
bool oneword(const std::string& s) {
    return !s.empty() && s[0] != '-' && std::none_of(s.begin(), s.end(), [](char c) {
        return c == ' ' || c == '\t' || c == '\n';
    });
}

}  // namespace

int main(int argc, char** argv) {
    plan p;
    for (int i = 1; i < argc; ++i) {
        const std::string sopt = argv[i];
        if (sopt == "--dry-run") {
            p.bdryrun = true;
            continue;
        }
        if (sopt == "--keep-mounted") {
            p.bkeepmounted = true;
            continue;
        }
        if (sopt == "--timings") {
            p.btimings = true;
            continue;
        }
        if (i + 1 >= argc) {
            usage();
            return e_usage;
        }
        const std::string sval = argv[++i];
        unsigned long long* psize = sopt == "--min-size" ? &p.ullminsize
                                    : sopt == "--esp"    ? &p.ullesp
                                    : sopt == "--root"   ? &p.ullroot
                                    : sopt == "--data"   ? &p.ulldata
                                    : sopt == "--swap"   ? &p.ullswap
                                                         : nullptr;
        std::string* pstr = sopt == "--device"         ? &p.sdevice
                            : sopt == "--serial"       ? &p.sserial
                            : sopt == "--fs"           ? &p.sfstype
                            : sopt == "--vg"           ? &p.svg
                            : sopt == "--target"       ? &p.starget
                            : sopt == "--image"        ? &p.simage
                            : sopt == "--data-set"     ? &p.sdataset
                            : sopt == "--mount-config" ? &p.smountconfig
                            : sopt == "--log"          ? &p.slog
                                                       : nullptr;
        if (psize != nullptr) {
            *psize = parsesize(sval);
            if (*psize == 0 && sopt != "--min-size") {
                fprintf(stderr, "installer: %s: not a size: %s\n", sopt.c_str(), sval.c_str());
                return e_usage;
            }
        } else if (pstr != nullptr) {
            *pstr = sval;
        } else {
            usage();
            return e_usage;
        }
    }
    if (p.smountconfig.empty()) p.smountconfig = p.starget + "/etc/velka/mounts";
    if (p.simage.empty() || (p.sfstype != "xfs" && p.sfstype != "ext4") || p.starget[0] != '/' ||
        !oneword(p.simage) || !oneword(p.starget) || !oneword(p.svg) ||
        (!p.sdevice.empty() && !oneword(p.sdevice)) ||
        (!p.sdataset.empty() && !oneword(p.sdataset))) {
        usage();
        return e_usage;
    }
    // A trailing "/" would make the mount paths differ from what the kernel reports.
    while (p.starget.size() > 1 && p.starget.back() == '/') p.starget.pop_back();

    velka::logger::core logcore(4096);
    logcore.add_sink(velka::logger::FILE_SINK, p.slog);
    if (logcore.filesinkfailed()) {
        fprintf(stderr, "installer: cannot open %s: %s\n", p.slog.c_str(),
                strerror(logcore.filesinkerrno()));
        return e_usage;
    }
    velka::logger::source logsrc(&logcore, velka::logger::everylevel);
    velka::logger::LOG(&logsrc, velka::logger::lvl_info,
                       std::string("installer starts") + (p.bdryrun ? " (dry run)" : ""));
    installer inst(p, &logsrc);
    int irc = inst.run();
    velka::logger::LOG(&logsrc, velka::logger::lvl_info,
                       "installer ends with exit code " + std::to_string(irc));
    // Every queued line reaches the file before the program ends.
    double dstart = now();
    logcore.drain();
    if (p.btimings) {
        inst.printtimings();
        fprintf(stderr, "step drain %.3f\n", now() - dstart);
    }
    return irc;
}
