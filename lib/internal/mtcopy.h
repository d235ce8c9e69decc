// The copy's worker. Internal to the library: not exported
// from libvelka.so; the tests and the fuzz targets reach them through the static build.
#ifndef VELKA_INTERNAL_MTCOPY_H
#define VELKA_INTERNAL_MTCOPY_H

#include <velka/mtcopy>

namespace velka {
namespace mtcopy {

// The worker's entry function; item is its work_item. Always returns null.
void* mtcopy_handler(void* item);

}  // namespace mtcopy
}  // namespace velka

#endif
