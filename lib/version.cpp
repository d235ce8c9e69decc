// The library's version, fixed when it is built (the header is generated from the CMake
// project version).
#include <velka/version>

namespace velka {

const char* version() {
    return VELKA_VERSION_STRING;
}

}  // namespace velka
