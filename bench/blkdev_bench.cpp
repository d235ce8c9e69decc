// Disk enumeration with 1, 8, 32 and 64 scsi_debug disks, in the VM lab only (it loads and
// unloads the scsi_debug module and empties the udev database, which only a throw-away
// machine may do):
//
//   tests/lab/run --no-udev --memory 2048 -- build/bench/blkdev_bench [-r rounds] [count...]
//
// For each count the module is loaded with that many targets (8 MiB each, one shared store),
// and a manager is constructed `rounds` times (default 3), the udev database emptied before
// each, so every disk costs the tool calls with fixed delays: blkid (20 ms), udevadm for the
// disk's entry (100 ms) and parted for its partition list (50 ms), 170 ms a disk. Prints the
// median time of a construction, the time per disk, and the ratio to the sum of those fixed
// delays for that many disks; the cost per disk should stay flat as the count grows.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <vector>

#include <velka/blkdev>
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

}  // namespace

int main(int argc, char** argv) {
    if (getenv("VELKA_LAB") == nullptr) {
        fprintf(stderr,
                "blkdev_bench loads scsi_debug and empties /run/udev/data: run it in the VM lab,\n"
                "  tests/lab/run --no-udev -- %s\n",
                argv[0]);
        return 2;
    }
    int irounds = 3;
    std::vector<unsigned int> vcounts;
    for (int i = 1; i < argc; ++i) {
        std::string s(argv[i]);
        if (s == "-r" && i + 1 < argc)
            irounds = atoi(argv[++i]);
        else
            vcounts.push_back(utilities::strtoui(s));
    }
    if (irounds < 1) irounds = 1;
    if (vcounts.empty()) vcounts = {1, 8, 32, 64};

    printf("%6s %6s %12s %12s %14s %8s\n", "disks", "listed", "median s", "per disk ms",
           "fixed delays s", "ratio");
    for (unsigned int uidisks : vcounts) {
        if (uidisks == 0 || !loadmodule(uidisks)) return 1;
        std::vector<double> vtimes;
        size_t ulisted = 0;
        for (int r = 0; r < irounds; ++r) {
            benchsupport::run("rm -f /run/udev/data/b*");
            double dstart = benchsupport::now();
            velka::blkdev::blkdevmgr mgr(nullptr);
            vtimes.push_back(benchsupport::now() - dstart);
            ulisted = mgr.size();
        }
        double dmedian = benchsupport::median(vtimes);
        double ddelays = s_delaypersdisk * uidisks;
        printf("%6u %6zu %12.3f %12.1f %14.3f %8.3f\n", uidisks, ulisted, dmedian,
               1000.0 * dmedian / uidisks, ddelays, dmedian / ddelays);
        fflush(stdout);
    }
    benchsupport::run("modprobe -r scsi_debug 2>/dev/null; true");
    return 0;
}
