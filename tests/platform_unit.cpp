// Interface listing and link-speed selection against captured ifconfig and ethtool output;
// the pipelines' real grep, awk and tr still run.
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/platform>
#include <velka/utilities>

#include "velka_test.h"

using velka::platform::platform;
using velka::utilities::utilities;

namespace {

void addethtool(velka_test::fake_tools& fakes) {
    fakes.add_script("ethtool",
                     "case \"$1\" in\n"
                     "  eno1) cat " +
                         utilities::shellquote(velka_test::fixture("ethtool/igb-1000.out")) +
                         " ;;\n"
                         "  ens1f0) cat " +
                         utilities::shellquote(velka_test::fixture("ethtool/ixgbe-10000.out")) +
                         " ;;\n"
                         "  eno2) cat " +
                         utilities::shellquote(velka_test::fixture("ethtool/no-link.out")) +
                         " ;;\n"
                         "  *) echo \"netlink error: no device matches name\" >&2; exit 75 ;;\n"
                         "esac\n");
}

}  // namespace

TEST(Unit_Platform, InterfaceListDropsHeaderAndDummies) {
    velka_test::fake_tools fakes;
    fakes.add_fixture("ifconfig", "ifconfig/a-s-four.out");
    std::list<std::string> l = {"stale"};
    ASSERT_EQ(platform::getnwintfxlist(l), 0);
    EXPECT_EQ(std::vector<std::string>(l.begin(), l.end()),
              (std::vector<std::string>{"eno1", "eno2", "ens1f0", "lo"}));
    EXPECT_EQ(fakes.calls(), std::vector<std::string>{"ifconfig -a -s"});
}

TEST(Unit_Platform, LinkSpeedsFromEthtool) {
    velka_test::fake_tools fakes;
    addethtool(fakes);
    unsigned long ulspeed = 7;
    EXPECT_EQ(platform::get_link_speed("eno1", ulspeed), 0);
    EXPECT_EQ(ulspeed, 1000ul);
    EXPECT_EQ(platform::get_link_speed("ens1f0", ulspeed), 0);
    EXPECT_EQ(ulspeed, 10000ul);
    // "Unknown!" holds no digits: speed 0, still a success.
    EXPECT_EQ(platform::get_link_speed("eno2", ulspeed), 0);
    EXPECT_EQ(ulspeed, 0ul);
    // No Speed line at all: failure, speed untouched.
    ulspeed = 7;
    EXPECT_EQ(platform::get_link_speed("missing0", ulspeed), -1);
    EXPECT_EQ(ulspeed, 7ul);
    // A hostile interface name reaches ethtool as one argument and runs nothing else.
    velka_test::tempdir dir;
    std::string shostile = "eth0; touch " + (dir / "pwned");
    EXPECT_EQ(platform::get_link_speed(shostile, ulspeed), -1);
    EXPECT_FALSE(utilities::isfile(dir / "pwned"));
    auto argvs = fakes.argvs();
    ASSERT_EQ(argvs.size(), 5u);
    EXPECT_EQ(argvs[4], std::vector<std::string>{shostile});
}

TEST(Unit_Platform, InterfacesWithLinkSpeed) {
    velka_test::fake_tools fakes;
    fakes.add_fixture("ifconfig", "ifconfig/a-s-four.out");
    addethtool(fakes);
    std::vector<std::string> v = {"stale"};
    ASSERT_EQ(platform::getnwintfxwithlinkspeed(10000, v), 0);
    EXPECT_EQ(v, std::vector<std::string>{"ens1f0"});
    ASSERT_EQ(platform::getnwintfxwithlinkspeed(1000, v), 0);
    EXPECT_EQ(v, std::vector<std::string>{"eno1"});
    ASSERT_EQ(platform::getnwintfxwithlinkspeed(40000, v), 0);
    EXPECT_TRUE(v.empty());
    auto calls = fakes.calls();
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(calls[0], "ifconfig -a -s");
    EXPECT_EQ(calls[1], "ethtool eno1");
}

TEST(Unit_Platform, FailedQueriesGiveZero) {
    velka_test::fake_tools fakes;
    fakes.add("free", "", 1, "free: failed to read /proc/meminfo\n");
    EXPECT_EQ(platform::get_totalmemory(), 0ul);
    EXPECT_EQ(platform::get_freememory(), 0ul);
    // ifconfig missing (as on a plain Debian 12): awk ends the pipeline and succeeds, and no
    // interface at all (not even lo) is the failure.
    fakes.add("ifconfig", "", 127, "sh: 1: ifconfig: not found\n");
    std::list<std::string> l{"kept"};
    EXPECT_EQ(platform::getnwintfxlist(l), -1);
    EXPECT_EQ(l, std::list<std::string>{"kept"});
}
