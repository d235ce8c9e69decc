// The version: the library's, the headers' and the Debian package's are one number.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <velka/version>

#include "velka_test.h"

TEST(Unit_Version, LibraryHeadersAndPackageAgree) {
    EXPECT_STREQ(velka::version(), VELKA_VERSION_STRING);
    EXPECT_EQ(std::string(VELKA_VERSION_STRING), std::to_string(VELKA_VERSION_MAJOR) + "." +
                                                     std::to_string(VELKA_VERSION_MINOR) + "." +
                                                     std::to_string(VELKA_VERSION_PATCH));
    // debian/changelog opens with "velka (VERSION) ...", perhaps with a Debian revision.
    std::string stop = velka_test::slurp(std::string(VELKA_SOURCE_DIR) + "/debian/changelog");
    stop = stop.substr(0, stop.find('\n'));
    std::string swant = std::string("velka (") + VELKA_VERSION_STRING;
    ASSERT_EQ(stop.compare(0, swant.size(), swant), 0) << stop;
    EXPECT_TRUE(strchr(")-", stop[swant.size()]) != nullptr) << stop;
}
