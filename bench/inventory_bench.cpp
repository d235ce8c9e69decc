// The whole inventory of velka-inventory collected section by section (every query one after
// another) against the same inventory collected concurrently (the sections at the same time,
// and inside them the independent queries), both in the same run, alternating round by round.
//
//   inventory_bench [-r rounds]      (default 5; run as root, as the command runs)
//
// Prints the median of each and the ratio concurrent / sectioned; the goal is at most 0.5.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "inventory.h"

int main(int argc, char** argv) {
    int irounds = 5;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
            irounds = atoi(argv[++i]);
        } else {
            fprintf(stderr, "usage: inventory_bench [-r rounds]\n");
            return 2;
        }
    }
    if (irounds < 1) irounds = 1;
    // One untimed run of each fills the caches (modules.alias, the tools' binaries).
    inventory_collect(nullptr, false);
    inventory_collect(nullptr, true);
    std::vector<double> vsectioned, vconcurrent;
    size_t ujson = 0;
    for (int i = 0; i < irounds; ++i) {
        double t0 = benchsupport::now();
        inventoryfacts sectioned = inventory_collect(nullptr, false);
        double t1 = benchsupport::now();
        inventoryfacts concurrent = inventory_collect(nullptr, true);
        double t2 = benchsupport::now();
        vsectioned.push_back(t1 - t0);
        vconcurrent.push_back(t2 - t1);
        // Both found the same: the disks, groups and SMART sections render alike.
        if (sectioned.disks.sjson != concurrent.disks.sjson ||
            lvm_json(sectioned.lvm) != lvm_json(concurrent.lvm) ||
            boot_json(sectioned.boot) != boot_json(concurrent.boot)) {
            fprintf(stderr, "round %d: the two runs found different facts\n", i + 1);
            return 1;
        }
        ujson = inventory_json(concurrent).size();
    }
    double dsec = benchsupport::median(vsectioned), dcon = benchsupport::median(vconcurrent);
    printf("inventory (%zu bytes of JSON), median of %d rounds\n", ujson, irounds);
    printf("  %-36s %8.3f s\n", "section by section", dsec);
    printf("  %-36s %8.3f s\n", "concurrent", dcon);
    printf("  %-36s %8.2f (goal: at most 0.50)\n", "ratio concurrent / section by section",
           dcon / dsec);
    return 0;
}
