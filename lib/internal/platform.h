// The readings of the platform queries' output lines. Internal to the library: not exported
// from libvelka.so; the tests and the fuzz targets reach them through the static build.
#ifndef VELKA_INTERNAL_PLATFORM_H
#define VELKA_INTERNAL_PLATFORM_H

#include <list>
#include <string>

#include <velka/platform>

namespace velka {
namespace platform {

// The readings of the two pipelines' output lines. parselinkspeed: the first line's
// number, -1 (lspeed untouched) when there is no line. parseintfxlist: each line trimmed.
int parselinkspeed(const std::list<std::string>& lout, unsigned long& lspeed);

void parseintfxlist(const std::list<std::string>& lout, std::list<std::string>& lnwintfx);

}  // namespace platform
}  // namespace velka

#endif
