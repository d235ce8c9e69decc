// Log checks of the filesystem, mount-entry and mount-path configuration tests: the shared
// log capture and the record text of one message.
#ifndef VELKA_TESTS_MOUNTS_LOG_H
#define VELKA_TESTS_MOUNTS_LOG_H

#include <string>

#include "logcapture.h"

namespace mounts_test {

using velka_test::logcapture;

// The record of one message: module file, function tag and text.
inline std::string msg(const std::string& sfile, const std::string& sfunc, const std::string& s) {
    return sfile + "::" + sfunc + "( )  " + s;
}

}  // namespace mounts_test

#endif
