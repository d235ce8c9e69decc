// Disk enumeration with 1, 8, 32 and 64 disks, two ways:
//
//   tests/lab/run --no-udev -- build/bench/blkdev_bench [-r rounds] [count...]
//   build/bench/blkdev_bench --synthetic [-r rounds] [count...]          (root, any host)
//
// In the VM lab (it loads and unloads scsi_debug and empties the udev database, which only a
// throw-away machine may do) the disks are scsi_debug disks. With --synthetic, on the host at
// full speed, each count runs in a child with a private mount namespace: a generated sysfs
// tree of that many SCSI disks is bound over /sys, their nodes (with no driver behind them)
// are made in a tmpfs over /dev and /run is a tmpfs; the tools then fail at once, so the time
// is the fixed delays plus what the library itself adds. Nothing of the host changes.
//
// For each count the module is loaded with that many targets (8 MiB each, one shared store),
// and a manager is constructed `rounds` times (default 3), the udev database emptied before
// each, so every disk costs the tool calls with fixed delays: blkid (20 ms), udevadm for the
// disk's entry (100 ms) and parted for its partition list (50 ms), 170 ms a disk. Prints the
// median time of a construction, the time per disk, and the ratio to the sum of those fixed
// delays for that many disks; the cost per disk should stay flat as the count grows.
//
// Under emulation the tools themselves run longer than their delays, so a second reference
// is measured in the same run: the same three command lines run once for every disk without
// the library (through the shell, as the library runs them), each counted as the longer of
// its run time and its fixed delay. The ratio to it is what the library adds on top of the
// tools it calls (SCSI commands, sysfs reads, record copies, lookups).
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include <velka/blkdev>
#include <velka/fs>
#include <velka/udev>
#include <velka/utilities>

#include "benchsupport.h"

using velka::utilities::utilities;

namespace {

const double s_delaypersdisk = 0.020 + 0.100 + 0.050;

// Number of scsi_debug disks in /sys/block.
unsigned int countdisks() {
    std::list<std::string> l;
    utilities::readdir("/sys/block", l);
    unsigned int n = 0;
    for (const auto& s : l) {
        if (s.compare(0, 2, "sd") != 0) continue;
        if (utilities::read("/sys/block/" + s + "/device/model").find("scsi_debug") == 0) ++n;
    }
    return n;
}

bool loadmodule(unsigned int uidisks) {
    benchsupport::run("modprobe -r scsi_debug 2>/dev/null; true");
    if (!benchsupport::run("modprobe scsi_debug dev_size_mb=8 max_luns=1 num_tgts=" +
                           utilities::uitostr(uidisks)))
        return false;
    for (int i = 0; i < 600; ++i) {
        if (countdisks() == uidisks) return true;
        usleep(100000);
    }
    fprintf(stderr, "only %u of %u scsi_debug disks appeared\n", countdisks(), uidisks);
    return false;
}

// The three tool calls the manager makes for one disk, each counted as the longer of its
// run time and its fixed delay.
double toolsreference(const std::string& sdev) {
    const std::pair<std::string, double> calls[] = {
        {"blkid " + sdev + " | awk '{print $3}' | cut -d '=' -f2 | tr -d '\"'", 0.020},
        {velka::udev::udev::udevadmpath() + " info --query=property --name " + sdev, 0.100},
        {"parted  -s -m " + sdev + "  print 2>/dev/null", 0.050},
    };
    double dtotal = 0;
    for (const auto& c : calls) {
        std::string sout, serr;
        double dstart = benchsupport::now();
        utilities::system(c.first, sout, serr);
        double dtook = benchsupport::now() - dstart;
        dtotal += dtook > c.second ? dtook : c.second;
    }
    return dtotal;
}

// The kernel's name of the n-th SCSI disk: sda ... sdz, sdaa ...
std::string sdname(unsigned int n) {
    std::string s;
    for (++n; n > 0; n = (n - 1) / 26) s.insert(s.begin(), static_cast<char>('a' + (n - 1) % 26));
    return "sd" + s;
}

bool mkfile(const std::string& spath, const std::string& scontent) {
    velka::fs::fs fsobj(nullptr);
    std::string sdir = spath.substr(0, spath.rfind('/'));
    return fsobj.mkdir_r(sdir, 0755) == 0 && utilities::write(spath, scontent) == 0;
}

// A sysfs tree of uidisks SCSI disks on host 0 (no transport class) under sroot, bound over
// /sys, with their nodes in a tmpfs over /dev. Only inside a private mount namespace.
bool syntheticdisks(const std::string& sroot, unsigned int uidisks) {
    if (!mkfile(sroot + "/class/sas_host/.keep", "") || !mkfile(sroot + "/class/fc_host/.keep", ""))
        return false;
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 ||
        mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 ||
        mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0)
        return false;
    // udevadm knows nothing of these disks: one that answers like udevadm keeps the library's
    // path the same as for real disks (an entry written, then parted asked for partitions).
    const std::string sudevadm = velka::udev::udev::udevadmpath();
    if (!mkfile("/run/udevadm", "#!/bin/sh\necho \"DEVNAME=$4\"\necho SUBSYSTEM=block\n") ||
        chmod("/run/udevadm", 0755) != 0 ||
        mount("/run/udevadm", sudevadm.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return false;
    for (unsigned int i = 0; i < uidisks; ++i) {
        std::string sname = sdname(i), saddr = "0:0:" + utilities::uitostr(i) + ":0";
        std::string sdev = "8:" + utilities::uitostr(16 * i);
        std::string sscsi = sroot + "/bus/scsi/devices/" + saddr;
        std::string sblock = sroot + "/block/" + sname;
        if (!mkfile(sscsi + "/block/" + sname + "/dev", sdev) ||
            !mkfile(sscsi + "/scsi_generic/sg" + utilities::uitostr(i) + "/dev", "21:0") ||
            !mkfile(sscsi + "/vendor", "Linux   ") || !mkfile(sscsi + "/type", "0") ||
            !mkfile(sscsi + "/model", "scsi_debug      ") || !mkfile(sscsi + "/scsi_level", "8") ||
            !mkfile(sblock + "/dev", sdev) || !mkfile(sblock + "/removable", "0") ||
            !mkfile(sblock + "/queue/scheduler", "[mq-deadline] none") ||
            !mkfile(sblock + "/size", "16384") ||
            mknod(("/dev/" + sname).c_str(), S_IFBLK | 0660, makedev(8, 16 * i)) != 0)
            return false;
    }
    return mount(sroot.c_str(), "/sys", nullptr, MS_BIND, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    int irounds = 3;
    bool bsynthetic = false;
    std::vector<unsigned int> vcounts;
    for (int i = 1; i < argc; ++i) {
        std::string s(argv[i]);
        if (s == "-r" && i + 1 < argc)
            irounds = atoi(argv[++i]);
        else if (s == "--synthetic")
            bsynthetic = true;
        else
            vcounts.push_back(utilities::strtoui(s));
    }
    if (!bsynthetic && getenv("VELKA_LAB") == nullptr) {
        fprintf(stderr,
                "blkdev_bench loads scsi_debug and empties /run/udev/data: run it in the VM lab,\n"
                "  tests/lab/run --no-udev -- %s\n"
                "or with --synthetic (as root) on generated sysfs trees\n",
                argv[0]);
        return 2;
    }
    if (irounds < 1) irounds = 1;
    if (vcounts.empty()) vcounts = {1, 8, 32, 64};

    printf("%6s %6s %10s %12s %14s %8s %10s %8s\n", "disks", "listed", "median s", "per disk ms",
           "fixed delays s", "ratio", "tools s", "ratio");
    char stemplate[] = "/tmp/blkdev_bench.XXXXXX";
    const char* sroot = bsynthetic ? mkdtemp(stemplate) : nullptr;
    if (bsynthetic && sroot == nullptr) return 1;
    for (unsigned int uidisks : vcounts) {
        if (uidisks == 0) return 1;
        pid_t pid = 0;
        if (bsynthetic) {
            fflush(stdout);
            pid = fork();
            if (pid < 0) return 1;
            if (pid > 0) {
                int istatus = 0;
                while (waitpid(pid, &istatus, 0) < 0) {
                }
                if (!WIFEXITED(istatus) || WEXITSTATUS(istatus) != 0) {
                    fprintf(stderr, "the synthetic tree of %u disks could not be set up\n",
                            uidisks);
                    break;
                }
                continue;
            }
            // The child: its own mount namespace, the tree in a tmpfs over the directory.
            if (unshare(CLONE_NEWNS) != 0 ||
                mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", sroot, "tmpfs", 0, "mode=0755") != 0 ||
                !syntheticdisks(sroot, uidisks))
                _exit(1);
        } else if (!loadmodule(uidisks)) {
            return 1;
        }
        std::vector<double> vtimes;
        size_t ulisted = 0;
        std::vector<std::string> vdevs;
        for (int r = 0; r < irounds; ++r) {
            benchsupport::run("rm -f /run/udev/data/b*");
            double dstart = benchsupport::now();
            velka::blkdev::blkdevmgr mgr(nullptr);
            vtimes.push_back(benchsupport::now() - dstart);
            ulisted = mgr.size();
            if (vdevs.empty()) {
                mgr.for_each_blkdev(
                    [](velka::blkdev::blkdev& b, void* arg, void*) {
                        static_cast<std::vector<std::string>*>(arg)->push_back(b.get_dev());
                    },
                    &vdevs, nullptr);
            }
        }
        double dtools = 0;
        for (const auto& sdev : vdevs) dtools += toolsreference(sdev);
        double dmedian = benchsupport::median(vtimes);
        double ddelays = s_delaypersdisk * uidisks;
        printf("%6u %6zu %10.3f %12.1f %14.3f %8.3f %10.3f %8.3f\n", uidisks, ulisted, dmedian,
               1000.0 * dmedian / uidisks, ddelays, dmedian / ddelays, dtools,
               dtools > 0 ? dmedian / dtools : 0.0);
        fflush(stdout);
        if (bsynthetic) _exit(0);
    }
    if (bsynthetic)
        rmdir(sroot);
    else
        benchsupport::run("modprobe -r scsi_debug 2>/dev/null; true");
    return 0;
}
