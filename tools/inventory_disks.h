// The disks section of velka-inventory: every disk the block device manager lists (SCSI, SAS,
// SATA and NVMe) as its record describes it (sysfs, SCSI commands through the generic node,
// blkid), with its partitions as parted lists them and, for NVMe, the controller's model,
// serial number and firmware revision.
#ifndef VELKA_INVENTORY_DISKS_H
#define VELKA_INVENTORY_DISKS_H

#include <cstdio>
#include <string>

namespace velka {
namespace logger {
class source;
}
}  // namespace velka

// The disks as a table, under the heading "Disks".
void disks_table(FILE* out, velka::logger::source* plogsrc);
// The disks as a JSON array (one object per disk).
std::string disks_json(velka::logger::source* plogsrc);

#endif
