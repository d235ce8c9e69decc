// PCI section of velka-inventory: every PCI function with its ids, class name and the kernel
// modules a module table names for it.
#ifndef VELKA_INVENTORY_PCI_H
#define VELKA_INVENTORY_PCI_H

#include <cstdio>
#include <string>

#include <velka/logger>

// The table: stable as given, or when empty the running kernel's modules.alias, else the
// newest installed kernel's. A table whose name ends in "pcimap" is read in that format.
// bfull adds subsystem ids and class codes to the text form.
void pci_table(FILE* out, const std::string& stable, bool bfull, velka::logger::source* plogsrc);
// The same facts as one JSON object (no trailing newline).
std::string pci_json(const std::string& stable, velka::logger::source* plogsrc);

#endif
