// The volume groups section of velka-inventory: each LVM volume group with its extent size,
// its total, free and allocated extents and bytes, its logical volumes with thin pools (and
// their data and metadata use) and thin volumes marked, and the physical volumes, as vgs, lvs
// and pvs report them.
#ifndef VELKA_INVENTORY_LVM_H
#define VELKA_INVENTORY_LVM_H

#include <cstdio>
#include <list>
#include <string>

#include "inventory_common.h"

namespace velka {
namespace logger {
class source;
}
}  // namespace velka

struct lvmreport {
    struct volume {
        std::string sname;
        std::string ssegtype;  // linear, thin-pool, thin, ...
        std::string spool;     // the pool of a thin volume
        double dsizebytes;
        double ddatapercent;  // thin pools: NaN when lvs reports none
        double dmetapercent;
    };
    struct group {
        std::string sname;
        double dextentbytes;
        unsigned long long ulltotal;
        unsigned long long ullfree;
        double dsizebytes, dfreebytes;
        std::list<volume> lvolumes;
    };
    struct physical {
        std::string sdevice, sgroup;  // sgroup "" when in no group
        double dsizebytes, dfreebytes;
    };
    bool btools = false;
    bool bok = false;  // the three reports were read
    std::list<group> lgroups;
    std::list<physical> lphysical;
};

// bconcurrent: vgs, lvs and pvs run at the same time.
lvmreport lvm_collect(velka::logger::source* plogsrc, bool bconcurrent);
// The volume groups and physical volumes as a table, under the heading "Volume groups".
void lvm_table(FILE* out, const lvmreport& r);
// The volume groups as a JSON array (one object per group, its volumes inside).
std::string lvm_json(const lvmreport& r);
// The physical volumes as a JSON array.
std::string lvm_pvjson(const lvmreport& r);
// Group size and free bytes, physical volume size and free bytes, thin pool data and
// metadata use.
void lvm_prom(const lvmreport& r, invtools::promtext& prom);

#endif
