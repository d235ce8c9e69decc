// The boot and disk-health section of velka-inventory: each SCSI/SATA disk's SMART verdict
// and failing attributes, whether the machine was network-booted (and from which share; the
// share password is never shown), and on a server whose RAID adapters qualify, the RAID-1
// virtual drives and the root volume group's disks.
#ifndef VELKA_TOOLS_INVENTORY_BOOT_H
#define VELKA_TOOLS_INVENTORY_BOOT_H

#include <cstdio>
#include <string>

#include <velka/logger>

void boot_table(FILE* out, velka::logger::source* plogsrc);
// The section as JSON members: ",\n  \"disk_health\": [...],\n  \"network_boot\": {...},
// \n  \"raid\": {...}", to follow another member of the top-level object.
std::string boot_json(velka::logger::source* plogsrc);

#endif
