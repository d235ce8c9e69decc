// The reading of a mount-path configuration text. Internal to the library: not exported
// from libvelka.so; the tests and the fuzz targets reach them through the static build.
#ifndef VELKA_INTERNAL_MNTCONFIG_H
#define VELKA_INTERNAL_MNTCONFIG_H

#include <list>
#include <string>

#include <velka/mntconfig>

namespace velka {
namespace mntconfig {

// extract's reading of the file's text, in the fstab(5) line format: blank and "#" lines
// are passed over; a line holding a NUL byte, or without a mount path or a type, is skipped
// with a log line, and every other line still yields its entry. Entries are appended to
// mntentlist (device, mount path, type and options; frequency and pass number 0).
void parseentries(const std::string& stext,
                  std::list<velka::mnttab::mnttab>& mntentlist,
                  velka::logger::source* plog);

}  // namespace mntconfig
}  // namespace velka

#endif
