// The sysfs scan's filter and order, and the readers of the kernel's module tables. Internal to the
// library: not exported from libvelka.so; the tests and the fuzz targets reach them through the
// static build.
#ifndef VELKA_INTERNAL_PCI_H
#define VELKA_INTERNAL_PCI_H

#include <dirent.h>
#include <string>

#include <velka/pci>

namespace velka {
namespace pci {

// Where sysfs is mounted and where its PCI functions are listed below it.
extern const std::string s_sysfsmnt;
extern const std::string s_pcisysfsdir;

// Text seams of the two table formats, used by the engines on every line.
// parse_aliasline: one modules.alias line. 1 when it is not a PCI alias (comment, other
// bus, fewer words), -1 when its "pci:" pattern is malformed (spattern receives it), 0
// with pattern's ids and class filled (mask 0) and smodule the module name.
int parse_aliasline(
    const char* pline, size_t ulen, pci& pattern, std::string& spattern, std::string& smodule);

// parse_pcimapline: one modules.pcimap line. 1 for a comment line, otherwise 0 with
// the module name, ids, class and class mask filled (numbers missing stay 0).
int parse_pcimapline(const std::string& sline, pci& pattern, std::string& smodule);

// Directory filter of the sysfs scan: 1 for a name parse_busid accepts, 0 for any other
// (names beginning with '.', names without ':').
int select(const struct dirent* ent);

// Directory-entry order of the scan (pointers to struct dirent pointers): ascending packed
// bus id. Both names must parse.
int sort(const void* lptr, const void* rptr);

}  // namespace pci
}  // namespace velka

#endif
