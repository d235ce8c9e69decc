// The disks section of velka-inventory: every disk the block device manager lists (SCSI, SAS,
// SATA and NVMe) as its record describes it (sysfs, SCSI commands through the generic node,
// blkid), with its partitions as parted lists them and, for NVMe, the controller's model,
// serial number and firmware revision; then the other block devices of /sys/block, which the
// manager does not list, each with its bus as the reason.
#ifndef VELKA_INVENTORY_DISKS_H
#define VELKA_INVENTORY_DISKS_H

#include <sys/types.h>

#include <string>

namespace velka {
namespace logger {
class source;
}
}  // namespace velka

// The section's texts, rendered where the disks were examined.
struct diskssection {
    bool bok = false;        // the disks were examined
    std::string snote;       // the missing tools, or why the disks could not be examined
    std::string stable;      // under the heading "Disks", the other block devices after them
    std::string sjson;       // a JSON array, one object per disk of the manager
    std::string sotherjson;  // a JSON array of the other block devices
    std::string sprom;       // capacity and identity of every block device
};

// As root the disks are examined in a child process with a private mount namespace
// (disks_start forks it: call it before starting threads). Without root, or when /sys shows
// no device, nothing happens until disks_finish, which then examines the disks itself. The
// child logs through plogsrc: in a forked child the core writes each line itself.
struct disksjob {
    bool bchild = false;
    bool bnodevices = false;  // /sys listed no SCSI device and no block device
    pid_t pid = -1;
    int ifd = -1;
    std::string slayers;
    std::string serror;
};
disksjob disks_start(velka::logger::source* plogsrc);
diskssection disks_finish(disksjob& job, velka::logger::source* plogsrc);

#endif
