// Logical volume manager without root and without device-mapper: the LVM tools are fakes that
// journal their arguments and replay output captured from the real tools in the lab (the
// pipelines' real grep and awk still run). Command lines and log texts, the extent
// bookkeeping and its refusals, hostile names, the report parsers, the device-mapper scan and
// the udev handler thread. The volumes named here have no device node on this machine, so
// their udev entries fail; the root and lab tests cover the entries.
#include <pthread.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/lvm>
#include <velka/utilities>

#include "internal/lvm.h"

#include "logcapture.h"
#include "velka_test.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELKA_HAS_SANITIZER 1
#endif
#endif
#ifndef VELKA_HAS_SANITIZER
#define VELKA_HAS_SANITIZER 0
#endif

using velka::utilities::utilities;
using velka_test::fake_tools;
using velka_test::logcapture;
using velka_test::msg;
using velka_test::tempdir;

namespace {

// Constructing the manager makes sure the udev database directory exists. Run as root, the
// binary moves into a private mount namespace with a tmpfs over /run first, so that directory
// is never made on the host.
class private_run : public ::testing::Environment {
public:
    void SetUp() override {
        if (!velka_test::is_root()) return;
        ASSERT_TRUE(velka_test::enter_private_namespaces(false));
        ASSERT_EQ(mount("velka-test", "/run", "tmpfs", 0, "mode=0755"), 0);
    }
};
::testing::Environment* const s_env = ::testing::AddGlobalTestEnvironment(new private_run);

std::vector<std::string> args(std::initializer_list<std::string> l) {
    return std::vector<std::string>(l);
}

// A fake that replays one captured run of a real tool: its standard output, standard error
// and exit status (tests/fixtures/lvm/lab/{case}.out, .err, .rc).
void replay(fake_tools& fakes, const std::string& stool, const std::string& scase) {
    std::string sbase = velka_test::fixture("lvm/lab/" + scase);
    fakes.add_script(stool, "cat " + utilities::shellquote(sbase + ".out") + "\ncat " +
                                utilities::shellquote(sbase + ".err") + " >&2\nexit $(cat " +
                                utilities::shellquote(sbase + ".rc") + ")\n");
}

// The messages of this module only (the udev writer logs too).
std::vector<std::string> lvmlog(logcapture& log) {
    std::vector<std::string> l;
    for (const auto& s : log.messages())
        if (s.compare(0, 5, "lvm::") == 0) l.push_back(s);
    return l;
}

// A text's trailing newline (a tool's standard error) is not in the log line.
std::string m(const std::string& sfunc, std::string stext) {
    if (!stext.empty() && stext.back() == '\n') stext.pop_back();
    return msg("lvm", "lvm::" + sfunc, stext);
}

size_t threadcount() {
    std::list<std::string> l;
    utilities::readdir("/proc/self/task", l);
    return l.size();
}

// A group "data" of 254 free extents of 4 MB, made through the captured tools.
struct group {
    group(fake_tools& fakes, velka::logger::source* plog, unsigned int uisize = 4)
        : mgr(std::list<std::string>{"/dev/sdb", "/dev/sdc"}, plog) {
        replay(fakes, "vgs", "vgs-missing");
        replay(fakes, "pvcreate", "pvcreate");
        replay(fakes, "vgcreate", "vgcreate");
        replay(fakes, "vgdisplay", "vgdisplay-data");
        replay(fakes, "lvcreate", "lvcreate");
        ires = mgr.vgcreate("data", uisize);
    }
    velka::lvm::lvm mgr;
    int ires;
};

}  // namespace

// ---- Command lines and log texts ----

TEST(Unit_LvmCommands, GroupCreationRunsTheFixedCommandsAndReadsTheCounts) {
    fake_tools fakes;
    logcapture log;
    group g(fakes, log.src());
    ASSERT_EQ(g.ires, 0);
    EXPECT_EQ(g.mgr.getfreeextents(), 254u);
    EXPECT_EQ(fakes.argvs(),
              std::vector<std::vector<std::string>>({
                  args({"--noheadings", "-o", "vg_name", "data"}),
                  args({"-ff", "-y", "/dev/sdb"}),
                  args({"-ff", "-y", "/dev/sdc"}),
                  args({"data", "--physicalextentsize", "4M", "/dev/sdb", "/dev/sdc"}),
                  args({"data"}),
                  args({"data"}),
              }));
    // Two blanks after the tool's name, a blank after each device.
    EXPECT_EQ(
        lvmlog(log),
        std::vector<std::string>({
            m("vgcreate", "Request to create volume group data with an extent size of 4MB"),
            m("vgcreate",
              "Volume group data will be looked up using command: vgs --noheadings -o vg_name "
              "data"),
            m("vgcreate", "Creating physical volume for /dev/sdb"),
            m("pvcreate",
              "physical volume will be created using command: pvcreate -ff -y /dev/sdb"),
            m("vgcreate", "Creating physical volume for /dev/sdc"),
            m("pvcreate",
              "physical volume will be created using command: pvcreate -ff -y /dev/sdc"),
            m("vgcreate",
              "Volume group data will be created using command: vgcreate  data "
              "--physicalextentsize 4M /dev/sdb /dev/sdc "),
            m("vgcreate", "Successfully created volume: data"),
            m("extractfreeextents",
              "Number of free extents in volume group data will be determined using command: "
              "vgdisplay data | /bin/grep \"Free\" | awk '{print $5}'"),
            m("extractfreeextents", "Found 254 free extents in volume group data"),
            m("extractallocatedextents",
              "Number of Allocated extents in volume group data will be determined using command: "
              "vgdisplay data | /bin/grep \"Alloc\" | awk '{print $5}'"),
            m("extractallocatedextents", "Found 0 allocated extents in volume group data"),
        }));
}

TEST(Unit_LvmCommands, WithoutDevicesTheGroupCommandStillRuns) {
    fake_tools fakes;
    replay(fakes, "vgs", "vgs-missing");
    replay(fakes, "vgcreate", "vgcreate");
    replay(fakes, "vgdisplay", "vgdisplay-data");
    logcapture log;
    velka::lvm::lvm mgr(log.src());
    EXPECT_EQ(mgr.vgcreate("data", 32), 0);
    EXPECT_TRUE(log.has(m("vgcreate",
                          "Volume group data will be created using command: vgcreate  data "
                          "--physicalextentsize 32M ")));
    EXPECT_EQ(fakes.calls().at(1), "vgcreate data --physicalextentsize 32M");
}

TEST(Unit_LvmCommands, VolumeCommandsAndTheirCounts) {
    fake_tools fakes;
    logcapture log;
    group g(fakes, log.src());
    ASSERT_EQ(g.ires, 0);
    size_t ubefore = fakes.argvs().size();
    // The group as the tools report it once the pool and its metadata are made.
    replay(fakes, "vgdisplay", "vgdisplay-after");
    // The volumes have no node here: each creation ends with the udev entry's failure, after
    // the counts were updated.
    EXPECT_EQ(g.mgr.lvcreate("vol1", 10), -1);
    EXPECT_EQ(g.mgr.getfreeextents(), 244u);
    EXPECT_EQ(g.mgr.lvpoolcreate("pool", 100), -1);
    EXPECT_EQ(g.mgr.getfreeextents(), 142u);  // read from the group after the pool
    EXPECT_EQ(g.mgr.thinlvcreate("pool", "thin1", 10), -1);
    EXPECT_EQ(g.mgr.getfreeextents(), 142u);
    EXPECT_EQ(g.mgr.thinlvcreate("pool", "thin2", 0), -1);  // 0: the free count
    EXPECT_EQ(g.mgr.lvcreate("rest", 0), -1);
    EXPECT_EQ(g.mgr.getfreeextents(), 0u);

    auto lcalls = fakes.argvs();
    ASSERT_EQ(lcalls.size(), ubefore + 6);
    auto it = lcalls.begin() + static_cast<long>(ubefore);
    EXPECT_EQ(*it++, args({"-y", "--extents", "10", "--name", "vol1", "data"}));
    EXPECT_EQ(*it++, args({"-y", "--extents", "36", "-T", "data/pool"}));
    EXPECT_EQ(*it++, args({"data"}));  // the free count; the allocated one is the rest
    EXPECT_EQ(*it++, args({"-y", "-V", "40M", "-T", "data/pool", "-n", "thin1"}));
    EXPECT_EQ(*it++, args({"-y", "-V", "568M", "-T", "data/pool", "-n", "thin2"}));
    EXPECT_EQ(*it++, args({"-y", "--extents", "142", "--name", "rest", "data"}));

    auto l = lvmlog(log);
    std::vector<std::string> lwant{
        m("lvcreate",
          "Will attempt to create logical volume vol1 on volume group data with 10 extents"),
        m("lvcreate",
          "logical volume vol1 will be created using command lvcreate -y --extents 10 --name vol1 "
          "data"),
        m("lvcreate",
          "Successfully created logical volume vol1 number of free extents 244 number of allocated "
          "extents 10"),
        m("lvcreate", "Failed to create udev entry for logical volume /dev/data/vol1"),
        m("lvpoolcreate",
          "Will attempt to create thin pool pool on volume group data with 100 extents"),
        m("lvpoolcreate", "Thin pool pool number of reserve extents 64 number of extents 36"),
        m("lvpoolcreate",
          "thin pool pool will be created using command lvcreate -y --extents 36 -T data/pool"),
        m("extractfreeextents", "Found 142 free extents in volume group data"),
        m("recount", "Volume group data has 112 allocated extents: 254 extents less the free ones"),
        m("lvpoolcreate",
          "Successfully created thin pool pool number of free extents 142 number of allocated "
          "extents 112"),
        m("lvpoolcreate", "Failed to create udev entry for logical volume /dev/data/pool"),
        m("thinlvcreate",
          "Will attempt to create thin volume thin1 on thin pool pool inside volume data with 10 "
          "extents"),
        m("thinlvcreate",
          "thin volume thin1 will be created using command lvcreate -y -V 40M -T data/pool -n "
          "thin1"),
        m("thinlvcreate",
          "Successfully created thin volume thin1 number of free extents 142 number of allocated "
          "extents 112"),
        m("thinlvcreate", "Failed to create udev entry for logical volume /dev/data/thin1"),
    };
    // The announcements of the count queries aside.
    std::vector<std::string> lhave;
    for (auto p = l.begin() + 12; p != l.end() && lhave.size() < lwant.size(); ++p)
        if (p->find("will be determined using") == std::string::npos) lhave.push_back(*p);
    EXPECT_EQ(lhave, lwant);
}

TEST(Unit_LvmCommands, PoolReserveFollowsTheExtentSize) {
    struct {
        unsigned int uisize;
        unsigned long long ullrequest;
        const char* sextents;  // passed to lvcreate
    } cases[] = {{4, 100, "36"}, {32, 100, "92"}, {512, 1, "1"}, {256, 2, "1"}, {300, 5, "5"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uisize);
        fake_tools fakes;
        group g(fakes, nullptr, c.uisize);
        ASSERT_EQ(g.ires, 0);
        g.mgr.lvpoolcreate("pool", c.ullrequest);
        EXPECT_EQ(fakes.argvs().end()[-2],  // the free count is read after it
                  args({"-y", "--extents", c.sextents, "-T", "data/pool"}));
    }
}

TEST(Unit_LvmCommands, SimpleCommandsAndTheirFailureTexts) {
    fake_tools fakes;
    replay(fakes, "pvremove", "pvremove");
    replay(fakes, "vgremove", "vgremove-missing");
    replay(fakes, "vgchange", "vgchange-an");
    logcapture log;
    velka::lvm::lvm mgr(log.src());
    EXPECT_EQ(mgr.pvremove("/dev/sdb"), 0);
    EXPECT_EQ(mgr.removevg("data"), -1);
    EXPECT_EQ(mgr.stopvg("data"), 0);
    EXPECT_EQ(mgr.deactivatevgs(), 0);
    replay(fakes, "vgchange", "vgchange-missing");
    EXPECT_EQ(mgr.stopvg("nosuchvg"), -1);
    EXPECT_EQ(mgr.deactivatevgs(), -1);
    replay(fakes, "pvcreate", "pvcreate-missing");
    EXPECT_EQ(mgr.pvcreate("/dev/nosuchdisk"), -1);
    EXPECT_EQ(fakes.calls(), std::vector<std::string>({
                                 "pvremove -ff -y /dev/sdb",
                                 "vgremove -ff data",
                                 "vgchange -an data",
                                 "vgchange -an",
                                 "vgchange -an nosuchvg",
                                 "vgchange -an",
                                 "pvcreate -ff -y /dev/nosuchdisk",
                             }));
    const std::string snotfound =
        "  Volume group \"nosuchvg\" not found\n  Cannot process volume group nosuchvg\n";
    EXPECT_EQ(
        lvmlog(log),
        std::vector<std::string>({
            m("pvremove",
              "physical volume will be removed using command: pvremove -ff -y /dev/sdb"),
            m("removevg", "Volume group will be removed using command: vgremove -ff data"),
            m("removevg",
              "Failed to remove volume group with error:   Volume group \"data\" not found\n"
              "  Cannot process volume group data\n"),
            m("stopvg", "Volume group will be stopped using command: vgchange -an data"),
            m("deactivatevgs", "Volume groups will be deactivated using command: vgchange -an"),
            m("stopvg", "Volume group will be stopped using command: vgchange -an nosuchvg"),
            m("stopvg", "Failed to stop volume group with error: " + snotfound),
            m("deactivatevgs", "Volume groups will be deactivated using command: vgchange -an"),
            m("deactivatevgs", "Failed to deactivate volume groups with error: " + snotfound),
            m("pvcreate",
              "physical volume will be created using command: pvcreate -ff -y /dev/nosuchdisk"),
            m("pvcreate",
              "Failed to create physical volume with error:   No device found for "
              "/dev/nosuchdisk.\n"),
        }));
}

TEST(Unit_LvmCommands, AFailedPhysicalVolumeStopsTheGroupAndKeepsThoseMade) {
    fake_tools fakes;
    fakes.add_script("pvcreate",
                     "case \"$3\" in /dev/sdc) echo '  No device found for /dev/sdc.' >&2; exit "
                     "5;; esac\n");
    replay(fakes, "vgs", "vgs-missing");
    replay(fakes, "vgcreate", "vgcreate");
    logcapture log;
    velka::lvm::lvm mgr(std::list<std::string>{"/dev/sdb", "/dev/sdc", "/dev/sdd"}, log.src());
    EXPECT_EQ(mgr.vgcreate("data", 4), -1);
    EXPECT_EQ(fakes.calls(),
              std::vector<std::string>({"vgs --noheadings -o vg_name data",
                                        "pvcreate -ff -y /dev/sdb", "pvcreate -ff -y /dev/sdc"}));
    EXPECT_TRUE(log.has(m("vgcreate", "Creation of physical volume /dev/sdc failed")));
}

TEST(Unit_LvmCommands, AFailedGroupCommandLogsTheToolsText) {
    fake_tools fakes;
    replay(fakes, "vgs", "vgs-missing");
    replay(fakes, "vgcreate", "vgcreate-extent-0");
    logcapture log;
    velka::lvm::lvm mgr(log.src());
    EXPECT_EQ(mgr.vgcreate("nought", 0), -1);
    EXPECT_TRUE(log.has(m("vgcreate",
                          "Volume group nought creation failed with error:   Physical extent size "
                          "may not be zero\n  Run `vgcreate --help' for more information.\n")));
    EXPECT_EQ(fakes.calls().size(), 2u);  // vgs, vgcreate: no extent query after a failure
}

TEST(Unit_LvmCommands, FailedCreationsLeaveTheCountsAlone) {
    fake_tools fakes;
    logcapture log;
    group g(fakes, log.src());
    replay(fakes, "lvcreate", "lvcreate-too-many");
    EXPECT_EQ(g.mgr.lvcreate("big", 200), -1);
    EXPECT_EQ(g.mgr.lvpoolcreate("pool", 200), -1);
    EXPECT_EQ(g.mgr.thinlvcreate("pool", "thin", 200), -1);
    EXPECT_EQ(g.mgr.getfreeextents(), 254u);
    const std::string serr =
        "  Volume group \"data\" has insufficient free space (244 extents): 100000 required.\n";
    EXPECT_TRUE(log.has(m("lvcreate", "Logical volume big creation failed with error: " + serr)));
    EXPECT_TRUE(log.has(m("lvpoolcreate", "thin pool pool creation failed with error: " + serr)));
    EXPECT_TRUE(log.has(m("thinlvcreate", "thin volume thin creation failed with error: " + serr)));
    EXPECT_EQ(log.count_containing("udev entry"), 0u);
}

// ---- Refusals: nothing runs ----

TEST(Unit_LvmRefusals, RequestsBeyondTheTrackedCountRunNothing) {
    fake_tools fakes;
    logcapture log;
    group g(fakes, log.src());
    size_t ucalls = fakes.calls().size();
    EXPECT_EQ(g.mgr.lvcreate("big", 255), -1);
    EXPECT_EQ(g.mgr.lvpoolcreate("pool", 255), -1);
    EXPECT_EQ(fakes.calls().size(), ucalls);
    EXPECT_TRUE(log.has(m("lvcreate",
                          "Volume data does not have enough extents to create logical volume big "
                          "maximum allowed extents: 254 requested extents: 255")));
    EXPECT_TRUE(log.has(m("lvpoolcreate",
                          "Volume data does not have enough extents to create thin pool pool "
                          "maximum allowed extents: 254 requested extents: 255")));
    // Exactly the free count is accepted.
    EXPECT_EQ(g.mgr.lvcreate("all", 254), -1);  // the udev entry fails, the command ran
    EXPECT_EQ(fakes.calls().size(), ucalls + 1);
    EXPECT_EQ(g.mgr.getfreeextents(), 0u);
}

TEST(Unit_LvmRefusals, APoolNotLargerThanItsReserveRunsNothing) {
    fake_tools fakes;
    logcapture log;
    group g(fakes, log.src());
    size_t ucalls = fakes.calls().size();
    EXPECT_EQ(g.mgr.lvpoolcreate("pool", 64), -1);  // the reserve of 4 MB extents is 64
    EXPECT_EQ(g.mgr.lvpoolcreate("pool", 1), -1);
    EXPECT_EQ(g.mgr.lvcreate("most", 200), -1);  // the udev entry fails; 54 stay free
    ucalls = fakes.calls().size();
    EXPECT_EQ(g.mgr.lvpoolcreate("pool", 0), -1);  // 0: all 54 free, fewer than the reserve
    EXPECT_EQ(fakes.calls().size(), ucalls);
    EXPECT_EQ(g.mgr.getfreeextents(), 54u);
    EXPECT_TRUE(log.has(m(
        "lvpoolcreate",
        "Thin pool pool refused: requested extents 64 are not more than the reserve extents 64")));
    EXPECT_TRUE(log.has(m(
        "lvpoolcreate",
        "Thin pool pool refused: requested extents 54 are not more than the reserve extents 64")));

    fake_tools fakes0;
    logcapture log0;
    group g0(fakes0, log0.src(), 0);
    ucalls = fakes0.calls().size();
    EXPECT_EQ(g0.mgr.lvpoolcreate("pool", 10), -1);
    EXPECT_EQ(fakes0.calls().size(), ucalls);
    EXPECT_TRUE(log0.has(m("lvpoolcreate",
                           "Thin pool pool refused: volume group data has an extent size of 0, so "
                           "no pool reserve can be set aside")));
}

TEST(Unit_LvmRefusals, SnapshotReserveIsFivePercentOnceAndRefusedWhenNotFree) {
    fake_tools fakes;
    logcapture log;
    group g(fakes, log.src());
    ASSERT_EQ(g.mgr.reserve_for_snapshot(), 0);  // 254 * 5 % = 12.7: 12 extents
    EXPECT_EQ(g.mgr.getfreeextents(), 242u);
    EXPECT_EQ(g.mgr.reserve_for_snapshot(), 0);
    EXPECT_EQ(g.mgr.getfreeextents(), 242u);
    g.mgr.lvcreate("rest", 0);  // all free extents; the reserve stays aside
    EXPECT_EQ(fakes.argvs().back(), args({"-y", "--extents", "242", "--name", "rest", "data"}));

    fake_tools fakes2;
    logcapture log2;
    group g2(fakes2, log2.src());
    g2.mgr.lvcreate("most", 250);
    size_t ucalls = fakes2.calls().size();
    EXPECT_EQ(g2.mgr.reserve_for_snapshot(), -1);
    EXPECT_EQ(fakes2.calls().size(), ucalls);
    EXPECT_EQ(g2.mgr.getfreeextents(), 4u);
    EXPECT_TRUE(log2.has(m("reserve_for_snapshot",
                           "Volume data does not have enough extents to reserve space for snapsho "
                           "maximum allowed extents: 4 requested extents: 12")));
}

TEST(Unit_LvmRefusals, ASmallGroupReservesNothingForSnapshotsButOnlyOnce) {
    fake_tools fakes;
    replay(fakes, "vgs", "vgs-missing");
    replay(fakes, "vgcreate", "vgcreate");
    fakes.add("vgdisplay", "  Free  PE / Size       19 / 76.00 MiB\n");
    velka::lvm::lvm mgr(nullptr);
    ASSERT_EQ(mgr.vgcreate("data", 4), 0);
    EXPECT_EQ(mgr.getfreeextents(), 19u);
    EXPECT_EQ(mgr.reserve_for_snapshot(), 0);
    EXPECT_EQ(mgr.getfreeextents(), 19u);
}

TEST(Unit_LvmRefusals, AThinSizeBeyondSixtyFourBitsIsRefused) {
    fake_tools fakes;
    logcapture log;
    group g(fakes, log.src(), 32);
    size_t ucalls = fakes.calls().size();
    EXPECT_EQ(g.mgr.thinlvcreate("pool", "thin", 1ULL << 60), -1);
    EXPECT_EQ(fakes.calls().size(), ucalls);
    EXPECT_EQ(log.count_containing("exceed the largest size"), 1u);
    g.mgr.thinlvcreate("pool", "thin", (1ULL << 59) - 1);
    EXPECT_EQ(fakes.argvs().back(),
              args({"-y", "-V", "18446744073709551584M", "-T", "data/pool", "-n", "thin"}));
}

TEST(Unit_LvmRefusals, HostileNamesArriveAsOneArgumentAndOptionsAreRefused) {
    fake_tools fakes;
    for (auto name : {"pvcreate", "pvremove", "vgchange", "vgremove", "lvcreate"})
        fakes.add(name, "");
    replay(fakes, "vgs", "vgs-missing");
    replay(fakes, "vgcreate", "vgcreate");
    replay(fakes, "vgdisplay", "vgdisplay-data");
    fakes.add("lvdisplay", "");
    fakes.add("pvdisplay", "");
    tempdir dir;
    std::string spwned = dir / "pwned";
    std::vector<std::string> lhostile{
        "a b",
        "$(touch " + spwned + ")",
        "`touch " + spwned + "`",
        "x;touch " + spwned,
        "x' ; touch " + spwned + " ; echo '",
        "dq\"x\\\"; touch " + spwned,
        "nl\ntouch " + spwned,
        "*",
        "x | touch " + spwned + " &",
    };
    for (const auto& v : lhostile) {
        SCOPED_TRACE(v);
        velka::lvm::lvm mgr(std::list<std::string>{v}, nullptr);
        size_t ubefore = fakes.argvs().size();
        EXPECT_EQ(mgr.vgcreate(v, 4), 0);
        mgr.lvcreate(v, 1);
        mgr.lvpoolcreate(v, 100);
        mgr.thinlvcreate(v, v, 1);
        mgr.pvremove(v);
        mgr.stopvg(v);
        mgr.removevg(v);
        std::list<std::string> l;
        std::string s;
        mgr.scanlv(v, l);
        mgr.pv_get_vgname(v, s);
        auto lcalls = fakes.argvs();
        ASSERT_EQ(lcalls.size(), ubefore + 14);
        auto it = lcalls.begin() + static_cast<long>(ubefore);
        EXPECT_EQ(*it++, args({"--noheadings", "-o", "vg_name", v}));
        EXPECT_EQ(*it++, args({"-ff", "-y", v}));
        EXPECT_EQ(*it++, args({v, "--physicalextentsize", "4M", v}));
        EXPECT_EQ(*it++, args({v}));
        EXPECT_EQ(*it++, args({v}));
        EXPECT_EQ(*it++, args({"-y", "--extents", "1", "--name", v, v}));
        EXPECT_EQ(*it++, args({"-y", "--extents", "36", "-T", v + "/" + v}));
        EXPECT_EQ(*it++, args({v}));
        EXPECT_EQ(*it++, args({"-y", "-V", "4M", "-T", v + "/" + v, "-n", v}));
        EXPECT_EQ(*it++, args({"-ff", "-y", v}));
        EXPECT_EQ(*it++, args({"-an", v}));
        EXPECT_EQ(*it++, args({"-ff", v}));
        EXPECT_EQ(*it++, args({"-v", v}));
        EXPECT_EQ(*it++, args({v}));
    }
    struct stat st;
    EXPECT_NE(stat(spwned.c_str(), &st), 0);

    // A name beginning with "-" would be read as an option: refused before anything runs.
    size_t ucalls = fakes.calls().size();
    logcapture log;
    velka::lvm::lvm opt(std::list<std::string>{"/dev/sdb", "-ff"}, log.src());
    EXPECT_EQ(opt.vgcreate("data", 4), -1);
    EXPECT_EQ(opt.vgcreate("-a", 4), -1);
    EXPECT_EQ(opt.pvcreate("--help"), -1);
    EXPECT_EQ(opt.pvremove("-"), -1);
    EXPECT_EQ(opt.stopvg("-x"), -1);
    EXPECT_EQ(opt.removevg("-x"), -1);
    EXPECT_EQ(opt.startvg("-x"), -1);
    EXPECT_EQ(opt.activatesinglevg("-x"), -1);
    std::list<std::string> l{"/dev/data/old"};
    std::string svg = "kept";
    EXPECT_EQ(opt.scanlv("-x", l), -1);
    EXPECT_EQ(opt.pv_get_vgname("-x", svg), -1);
    EXPECT_EQ(l, std::list<std::string>{"/dev/data/old"});
    EXPECT_EQ(svg, "kept");
    EXPECT_EQ(fakes.calls().size(), ucalls);
    EXPECT_TRUE(log.has(m("vgcreate", "Physical volume -ff refused: value begins with '-'")));
    EXPECT_TRUE(log.has(m("vgcreate", "Volume group -a refused: value begins with '-'")));
    EXPECT_TRUE(log.has(m("startvg", "Volume group -x refused: value begins with '-'")));
    EXPECT_EQ(log.count_containing("refused: value begins with '-'"), 10u);

    // Volume names of an existing group are checked the same way.
    fake_tools fakes2;
    logcapture log2;
    group g(fakes2, log2.src());
    ucalls = fakes2.calls().size();
    EXPECT_EQ(g.mgr.lvcreate("-n", 1), -1);
    EXPECT_EQ(g.mgr.lvpoolcreate("-pool", 100), -1);
    EXPECT_EQ(g.mgr.thinlvcreate("pool", "-thin", 1), -1);
    EXPECT_EQ(g.mgr.thinlvcreate("-pool", "thin", 1), -1);
    EXPECT_EQ(fakes2.calls().size(), ucalls);
    EXPECT_EQ(g.mgr.getfreeextents(), 254u);
}

// ---- Queries ----

TEST(Unit_LvmQueries, GroupsVolumesAndTheGroupOfAVolumeFromCapturedReports) {
    fake_tools fakes;
    fakes.add_fixture("vgdisplay", "lvm/vgdisplay-two-vgs.out");
    fakes.add_fixture("lvdisplay", "lvm/lab/lvdisplay-v.out");
    fakes.add_fixture("pvdisplay", "lvm/lab/pvdisplay.out");
    logcapture log;
    velka::lvm::lvm mgr(log.src());
    std::list<std::string> lvgs{"stale"};
    EXPECT_EQ(mgr.scanvg(lvgs), 0);
    EXPECT_EQ(lvgs, (std::list<std::string>{"data", "big"}));
    std::list<std::string> llvs{"stale"};
    // The volumes' nodes are not here: the last entry's failure is the result. The thin pool
    // has no "LV Path" line and is not listed.
    EXPECT_EQ(mgr.scanlv("data", llvs), -1);
    EXPECT_EQ(llvs,
              (std::list<std::string>{"/dev/data/vol1", "/dev/data/thin1", "/dev/data/thin2"}));
    std::string svg;
    EXPECT_EQ(mgr.pv_get_vgname("/dev/sdb", svg), 0);
    EXPECT_EQ(svg, "data");
    EXPECT_EQ(fakes.calls(),
              std::vector<std::string>({"vgdisplay", "lvdisplay -v data", "pvdisplay /dev/sdb"}));
    EXPECT_EQ(lvmlog(log),
              std::vector<std::string>({
                  m("scanvg",
                    "Volume groups will be scanned using command: vgdisplay 2>/dev/null | grep "
                    "\"VG Name\" | awk '{print $3}'"),
                  m("scanlv",
                    "Logical volumes will be scanned using command: lvdisplay -v data 2>/dev/null "
                    "| grep \"LV Path\" | awk '{print $3}'"),
                  m("scanlv", "Failed to create udev entry for logical volume /dev/data/vol1"),
                  m("scanlv", "Failed to create udev entry for logical volume /dev/data/thin1"),
                  m("scanlv", "Failed to create udev entry for logical volume /dev/data/thin2"),
                  m("pv_get_vgname",
                    "Physical volume will be scanned using command: pvdisplay /dev/sdb "
                    "2>/dev/null | grep \"VG Name\" | awk '{print $3}'"),
              }));
}

TEST(Unit_LvmQueries, EmptyAndMissingAnswers) {
    fake_tools fakes;
    fakes.add_fixture("pvdisplay", "lvm/lab/pvdisplay-no-vg.out");
    replay(fakes, "lvdisplay", "vgchange-missing");
    replay(fakes, "vgdisplay", "vgdisplay-missing");
    velka::lvm::lvm mgr(nullptr);
    // A physical volume in no group: its "VG Name" line is empty, and so is the answer.
    std::string svg = "before";
    EXPECT_EQ(mgr.pv_get_vgname("/dev/sdb", svg), 0);
    EXPECT_EQ(svg, "");
    // Not a physical volume at all: no line, a failure; the answer is left as it was.
    fakes.add("pvdisplay", "", 5, "  Failed to find physical volume \"/dev/sdd\".\n");
    svg = "before";
    EXPECT_EQ(mgr.pv_get_vgname("/dev/sdd", svg), -1);
    EXPECT_EQ(svg, "before");
    std::list<std::string> l{"/dev/data/old"};
    EXPECT_EQ(mgr.scanlv("nosuchvg", l), 0);
    EXPECT_TRUE(l.empty());
    l.push_back("stale");
    EXPECT_EQ(mgr.scanvg(l), 0);
    EXPECT_TRUE(l.empty());
}

// The shell reports awk's status, not vgdisplay's: only the output tells a count from a
// failure, which is logged with vgdisplay's error text (or the output) and leaves the count.
TEST(Unit_LvmQueries, ExtentCountsOnlyFromOutputThatIsACount) {
    const std::string snone = "no count in the output \"\"";
    const std::string snotfound =
        "  Volume group \"nosuchvg\" not found\n  Cannot process volume group nosuchvg\n";
    struct {
        const char* scase;  // a fixture, or a lab capture replayed with its error and status
        std::string sfree;  // the count, or the failure's text after "error: "
        std::string salloc;
    } cases[] = {
        {"lvm/lab/vgdisplay-data.out", "254", "0"},
        {"lvm/lab/vgdisplay-after.out", "142", "112"},
        {"lvm/lab/vgdisplay-32.out", "30", "0"},
        {"lvm/vgdisplay-truncated.out", snone, snone},
        {"lvm/vgdisplay-garbled.out", "no count in the output \"many\"", "0"},
        {"lvm/empty.out", snone, snone},
        {"lvm/lab/lvdisplay-v.out", snone, snone},  // six empty fields
        {"vgdisplay-missing", snotfound, snotfound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scase);
        fake_tools fakes;
        replay(fakes, "vgs", "vgs-missing");
        replay(fakes, "vgcreate", "vgcreate");
        if (std::string(c.scase).find('/') == std::string::npos)
            replay(fakes, "vgdisplay", c.scase);
        else
            fakes.add_fixture("vgdisplay", c.scase);
        logcapture log;
        velka::lvm::lvm mgr(log.src());
        EXPECT_EQ(mgr.vgcreate("data", 4), 0);  // a failed query is only logged
        for (std::string sq : {"free", "allocated"}) {
            const std::string& s = sq == "free" ? c.sfree : c.salloc;
            EXPECT_TRUE(
                log.has(m("extract" + sq + "extents",
                          isdigit(s[0]) ? "Found " + s + " " + sq + " extents in volume group data"
                                        : "Failed to determine the number of " + sq +
                                              " extents in volume group data error: " + s)));
        }
        EXPECT_EQ(mgr.getfreeextents(), isdigit(c.sfree[0]) ? std::stoull(c.sfree) : 0u);
    }
    // After a pool the tracked counts stay when the group cannot be read.
    fake_tools fakes;
    group g(fakes, nullptr);
    replay(fakes, "vgdisplay", "vgdisplay-missing");
    g.mgr.lvpoolcreate("pool", 100);
    EXPECT_EQ(g.mgr.getfreeextents(), 218u);
}

TEST(Unit_LvmQueries, ParsersOfReportText) {
    using velka::lvm::lvm;
    struct {
        const char* sin;
        bool bok;
        unsigned long long ull;  // what the count holds afterwards (it starts at 5)
    } counts[] = {{"254\n", true, 254},
                  {" 0 \n", true, 0},
                  {"\n142\n", true, 142},  // a group named "Free..." adds an empty field
                  {"", false, 5},
                  {"\n", false, 5},
                  {"  12abc", false, 5},
                  {"many", false, 5},
                  {"-5\n", false, 5},
                  {"+7", false, 5},
                  {"999999999999999999", true, 999999999999999999ULL},
                  {"9223372036854775807", false, 5},  // beyond any group
                  {"142\n112\n", false, 5}};
    for (const auto& c : counts) {
        SCOPED_TRACE(c.sin);
        unsigned long long ull = 5;
        EXPECT_EQ(velka::lvm::parseextents(c.sin, ull), c.bok);
        EXPECT_EQ(ull, c.ull);
    }
    std::list<std::string> lnames{"kept"};
    velka::lvm::parsenames({"data", "", "big", ""}, lnames);
    EXPECT_EQ(lnames, (std::list<std::string>{"kept", "data", "big"}));
    std::string s = "kept";
    EXPECT_FALSE(velka::lvm::parsefirst({}, s));
    EXPECT_EQ(s, "kept");
    EXPECT_TRUE(velka::lvm::parsefirst({"", "data"}, s));
    EXPECT_EQ(s, "");
}

// ---- Device-mapper scan and the udev handler thread ----

TEST(Unit_LvmDmscan, EveryNodeButHiddenAndControlInNameOrder) {
    tempdir dir;
    for (auto name :
         {"data-vol1", ".hidden", "control", "controller", "Big", "data-pool-tpool", "a"})
        velka_test::spew(dir / name, "");
    logcapture log;
    velka::lvm::lvm mgr(log.src());
    EXPECT_EQ(mgr.dmscan(dir.path()), 0);
    std::vector<std::string> lwant;
    for (auto name : {"Big", "a", "data-pool-tpool", "data-vol1"}) {
        lwant.push_back(m("dmscan", "Will attempt to create udev entry for : " + dir / name));
        // Regular files here: the entry fails and the scan goes on.
        lwant.push_back(
            m("dmscan", "Failed to create udev entry for logical volume " + dir / name));
    }
    EXPECT_EQ(lvmlog(log), lwant);
    EXPECT_EQ(mgr.dmscan(dir / "missing"), -1);
}

TEST(Unit_LvmDmscan, SelectFilter) {
    struct {
        const char* sname;
        int iwant;
    } cases[] = {{".", 0},      {"..", 0},        {".x", 0},       {"control", 0}, {"controlx", 0},
                 {"contro", 1}, {"data-vol1", 1}, {"xcontrol", 1}, {"Control", 1}, {"c", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sname);
        dirent ent{};
        snprintf(ent.d_name, sizeof(ent.d_name), "%s", c.sname);
        EXPECT_EQ(velka::lvm::lvm_select(&ent), c.iwant);
    }
}

TEST(Unit_LvmActivation, TheHandlerThreadIsGoneWhenTheCallReturns) {
    fake_tools fakes;
    replay(fakes, "vgchange", "vgchange-ay");
    logcapture log;
    velka::lvm::lvm mgr(log.src());
    size_t uthreads = threadcount();
    EXPECT_EQ(mgr.startvg("data"), 0);
    EXPECT_EQ(threadcount(), uthreads);
    EXPECT_EQ(mgr.activatevgs(), 0);
    EXPECT_EQ(threadcount(), uthreads);
    EXPECT_EQ(mgr.activatesinglevg("data"), 0);
    EXPECT_EQ(threadcount(), uthreads);
    replay(fakes, "vgchange", "vgchange-missing");
    EXPECT_EQ(mgr.activatesinglevg("nosuchvg"), -1);
    EXPECT_EQ(threadcount(), uthreads);
    EXPECT_EQ(mgr.startvg("nosuchvg"), -1);
    EXPECT_EQ(mgr.activatevgs(), -1);
    EXPECT_EQ(threadcount(), uthreads);
    EXPECT_EQ(fakes.calls(), std::vector<std::string>({
                                 "vgchange -ay data",
                                 "vgchange -ay",
                                 "vgchange -ay data",
                                 "vgchange -ay nosuchvg",
                                 "vgchange -ay nosuchvg",
                                 "vgchange -ay",
                             }));
    const std::string snotfound =
        "  Volume group \"nosuchvg\" not found\n  Cannot process volume group nosuchvg\n";
    std::vector<std::string> lwant{
        m("startvg", "Volume group will be started using command: vgchange -ay data"),
        m("activatevgs", "Volume groups will be activated using command: vgchange -ay"),
        m("activatesinglevg",
          "Volume group data will be activated using command: vgchange -ay data"),
        m("activatesinglevg",
          "Volume group nosuchvg will be activated using command: vgchange -ay nosuchvg"),
        m("activatesinglevg", "Failed to activate volume group nosuchvg with error: " + snotfound),
        m("startvg", "Volume group will be started using command: vgchange -ay nosuchvg"),
        m("startvg", "Failed to start volume group with error: " + snotfound),
        m("activatevgs", "Volume groups will be activated using command: vgchange -ay"),
        m("activatevgs", "Failed to activate volume groups with error: " + snotfound),
    };
    // The handler thread's scans of /dev/mapper interleave; the caller's lines keep their order.
    std::vector<std::string> lcaller;
    for (const auto& s : lvmlog(log))
        if (s.compare(0, 11, "lvm::dmscan") != 0) lcaller.push_back(s);
    EXPECT_EQ(lcaller, lwant);
}

TEST(Unit_LvmActivation, WithoutAHandlerThreadTheCommandDoesNotRun) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || VELKA_HAS_SANITIZER
    GTEST_SKIP() << "a sanitizer's own allocations need the address space this test takes away";
#endif
    fake_tools fakes;
    replay(fakes, "vgchange", "vgchange-ay");
    // In a child whose address space has no room for another thread's stack.
    int istatus = velka_test::run_in_child([]() {
        velka::lvm::lvm mgr(nullptr);
        std::string sstatus = velka_test::slurp("/proc/self/status");
        size_t upos = sstatus.find("VmSize:");
        if (upos == std::string::npos) return 10;
        unsigned long ulkb = utilities::strtoul(sstatus.substr(upos + 7));
        if (ulkb == 0) return 10;
        struct rlimit rl;
        rl.rlim_cur = rl.rlim_max = (ulkb + 1024) * 1024;
        if (setrlimit(RLIMIT_AS, &rl) != 0) return 11;
        // The stacks of threads that ended earlier in this process are kept for new ones:
        // threads that wait forever take them all first.
        pthread_t th;
        while (pthread_create(
                   &th, nullptr,
                   [](void*) -> void* {
                       pause();
                       return nullptr;
                   },
                   nullptr) == 0) {
        }
        int iret = mgr.activatesinglevg("data");
        return iret == 0 || iret == -1 ? 1 : 0;  // the thread start's error number
    });
    ASSERT_TRUE(WIFEXITED(istatus));
    EXPECT_EQ(WEXITSTATUS(istatus), 0);
    EXPECT_TRUE(fakes.calls().empty());
}
