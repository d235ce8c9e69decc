// The test command on a fresh checkout, run in the README's order: the inventory first (which
// configures its build without tests), then the test command in the same checkout. The test
// command must switch its tests back on and report the unit tier's real count, not pass empty.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include <velka/utilities>

#include "velka_test.h"

using velka::utilities::utilities;
using velka_test::sh;
using velka_test::tempdir;

namespace {

std::string q(const std::string& s) {
    return utilities::shellquote(s);
}

// The "Total Tests: N" of ctest -N for a label of this build tree.
int countlabel(const std::string& slabel) {
    std::string sout;
    if (sh("cd " + q(VELKA_BINARY_DIR) + " && ctest -N -L " + slabel + " | tail -n 1", &sout) != 0)
        return -1;
    return utilities::strtoi(sout.substr(sout.find(':') + 1));
}

}  // namespace

TEST(Root_DevScript, TestCommandAfterInventoryRunsTheRealUnitTier) {
    VELKA_REQUIRE_ROOT();
    VELKA_REQUIRE_TOOL("git");
    int iunit = countlabel("unit");
    ASSERT_GT(iunit, 50);
    tempdir dir;
    std::string sclone = dir / "clone";
    // A clone of this checkout with its working-tree files, uncommitted ones included.
    ASSERT_EQ(sh("git clone -q " + q(VELKA_SOURCE_DIR) + " " + q(sclone) + " && cd " +
                 q(VELKA_SOURCE_DIR) +
                 " && git ls-files -co --exclude-standard -z | xargs -0 cp -a --parents -t " +
                 q(sclone) + " 2>/dev/null; true"),
              0);
    std::string sinventory;
    ASSERT_EQ(
        sh("cd " + q(sclone) + " && VELKA_JOBS=2 scripts/dev inventory --json 2>&1", &sinventory),
        0)
        << sinventory;
    std::string scache = velka_test::slurp(sclone + "/build/CMakeCache.txt");
    EXPECT_NE(scache.find("VELKA_BUILD_TESTS:BOOL=OFF"), std::string::npos);

    std::string sout;
    int irc = sh("cd " + q(sclone) + " && VELKA_JOBS=2 VELKA_TEST_TIERS=unit scripts/dev test 2>&1",
                 &sout);
    EXPECT_EQ(irc, 0) << sout;
    // The summary line of the tier, as the test command prints it.
    char sline[128];
    snprintf(sline, sizeof(sline), "%-13s %4d ran, %4d passed, %4d failed, %4d skipped",
             "unit:", iunit, iunit, 0, 0);
    EXPECT_NE(sout.find(sline), std::string::npos) << sout;
    EXPECT_NE(sout.find("tiers run: unit\n"), std::string::npos) << sout;
    EXPECT_NE(sout.find("\ntotal: " + std::to_string(iunit) + " passed, 0 failed, 0 skipped\n"),
              std::string::npos)
        << sout;
    EXPECT_EQ(sout.find("No tests were found"), std::string::npos) << sout;
}
