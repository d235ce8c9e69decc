// The reading of udevadm's property listing. Internal to the library: not exported
// from libvelka.so; the tests and the fuzz targets reach them through the static build.
#ifndef VELKA_INTERNAL_UDEV_H
#define VELKA_INTERNAL_UDEV_H

#include <list>
#include <string>

#include <velka/udev>

namespace velka {
namespace udev {

// The entry file's lines from udevadm's output lines, in udev's database format: each
// property line (KEY=value, trimmed of blanks, tabs, carriage returns and line feeds; a
// key neither empty nor holding a blank) becomes "E:KEY=value", in output order; other
// lines are left out. Returns -1 (lentry empty) when there is no property, else 0.
int entrylines(const std::list<std::string>& loutput, std::list<std::string>& lentry);

}  // namespace udev
}  // namespace velka

#endif
