// The loader's reading of a settings text. Internal to the library: not exported
// from libvelka.so; the tests and the fuzz targets reach them through the static build.
#ifndef VELKA_INTERNAL_CFGFILE_H
#define VELKA_INTERNAL_CFGFILE_H

#include <istream>
#include <map>
#include <string>

#include <velka/cfgfile>

namespace velka {
namespace cfgfile {

// The loader's reading of a settings text: every blank-separated word holding a ":" is a
// name:value field (both trimmed), a later name replacing an earlier one; other words are
// passed over. Each field found is logged as found in sfile.
void parsefields(std::istream& in,
                 std::map<std::string, std::string>& mfields,
                 velka::logger::source* plog,
                 const std::string& sfile);

}  // namespace cfgfile
}  // namespace velka

#endif
