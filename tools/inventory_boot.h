// The boot and disk-health section of velka-inventory: each SCSI, SATA and NVMe disk's SMART
// verdict, and for ATA disks the attribute table with the failing attributes named, whether the
// machine was network-booted (and from which share; the share password is never shown), and on a
// server whose RAID adapters qualify, the RAID-1 virtual drives and the root volume group's disks.
#ifndef VELKA_TOOLS_INVENTORY_BOOT_H
#define VELKA_TOOLS_INVENTORY_BOOT_H

#include <cstdio>
#include <string>
#include <vector>

#include <velka/logger>

#include "inventory_common.h"

struct bootfacts {
    struct attribute {
        unsigned int uiid;
        std::string sname;
        unsigned int uivalue, uithreshold;
        unsigned long long ullraw;
        bool bfailing;
    };
    struct diskhealth {
        std::string sdisk;
        bool bverdict;  // smartctl printed an overall verdict
        bool boverall;  // and it was good
        bool battrs;
        std::vector<attribute> vattrs;
        std::vector<std::string> vfailing;  // "{id} {name}"
    };
    struct raiddrive {
        int iadapter;
        int itarget;
        std::string sname;
        size_t uidrives;
    };
    bool bsmartctl = false;
    std::vector<diskhealth> vdisks;
    bool bpxe = false;
    std::string sprotocol, sserver, sdir, suser;
    bool bpassword = false;
    bool bdmidecode = false, bmegacli = false;
    std::string splatform;
    bool bqualifies = false;
    int iadapters = 0;
    std::vector<raiddrive> vraid1;
    std::vector<std::string> vrootvg;
};

// SMART of every sd and NVMe disk of /sys/block (all at once when bconcurrent, next to the
// network boot and RAID facts), the network boot and RAID.
bootfacts boot_collect(velka::logger::source* plogsrc, bool bconcurrent);
void boot_table(FILE* out, const bootfacts& f);
// The section as JSON members: ",\n  \"disk_health\": [...],\n  \"network_boot\": {...},
// \n  \"raid\": {...}", to follow another member of the top-level object.
std::string boot_json(const bootfacts& f);
// Per disk the SMART verdict (absent without one) and per attribute its value, threshold,
// raw value and whether it fails.
void boot_prom(const bootfacts& f, invtools::promtext& prom);

#endif
