// PCI section of velka-inventory: every PCI function with its ids, class name and the kernel
// modules a module table names for it.
#ifndef VELKA_INVENTORY_PCI_H
#define VELKA_INVENTORY_PCI_H

#include <cstdio>
#include <list>
#include <string>
#include <vector>

#include <velka/logger>

#include "inventory_common.h"

struct pcisection {
    struct function {
        std::string saddress, svendor, sdevice, sssvendor, sssdevice, sclass, sclassname;
        std::list<std::string> ldrivers;
    };
    std::string stable;   // "" when none was found
    std::string ssource;  // where the table comes from, in words
    bool breadable = false;
    std::vector<function> lfunctions;
};

// The table: stable as given, or when empty the running kernel's modules.alias, else the
// newest installed kernel's. A table whose name ends in "pcimap" is read in that format.
pcisection pci_collect(const std::string& stable, velka::logger::source* plogsrc);
// bfull adds subsystem ids and class codes to the text form.
void pci_table(FILE* out, const pcisection& sec, bool bfull);
// The same facts as one JSON object (no trailing newline).
std::string pci_json(const pcisection& sec);
// The functions for which the table names no driver, one sample each (count() counts them).
void pci_prom(const pcisection& sec, invtools::promtext& prom);

#endif
