// The volume groups section of velka-inventory: each LVM volume group with its extent size
// and its total, free and allocated extents, and its logical volumes with thin pools and thin
// volumes marked, as vgs and lvs report them.
#ifndef VELKA_INVENTORY_LVM_H
#define VELKA_INVENTORY_LVM_H

#include <cstdio>
#include <string>

namespace velka {
namespace logger {
class source;
}
}  // namespace velka

// The volume groups as a table, under the heading "Volume groups".
void lvm_table(FILE* out, velka::logger::source* plogsrc);
// The volume groups as a JSON array (one object per group, its volumes inside).
std::string lvm_json(velka::logger::source* plogsrc);

#endif
