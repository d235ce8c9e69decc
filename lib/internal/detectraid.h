// The readers of dmidecode's and MegaCli's output. Internal to the library: not exported
// from libvelka.so; the tests and the fuzz targets reach them through the static build.
#ifndef VELKA_INTERNAL_DETECTRAID_H
#define VELKA_INTERNAL_DETECTRAID_H

#include <list>
#include <string>

#include <velka/detectraid>

namespace velka {
namespace bmr {

// The parsers of outside text, as the operations above use them.
// dmidecode's lines: the Manufacturer on the line after "System Information". -1 for a
// Manufacturer line without ':', else 0 (sname empty when none was found).
int parseplatformname(const std::list<std::string>& llines,
                      std::string& sname,
                      velka::logger::source* plog);

// MegaCli's summary lines: true when an "Exit Code" line says 0x00.
bool adapterpresent(const std::list<std::string>& llines);

}  // namespace bmr
}  // namespace velka

#endif
