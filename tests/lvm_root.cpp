// Logical volume manager with root on this machine, inside the test binary's private mount
// namespace (a tmpfs over /run holds the udev database): physical volumes and groups made by
// the real pvcreate and vgcreate on loop devices and checked against vgs and pvs; hostile
// group names refused by the real vgcreate as one argument; udev entries written by the
// real udevadm for volume and device-mapper nodes (nodes of loop devices made in a writable
// layer over /dev, since this kernel has no device-mapper); a scan that cannot start.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/lvm>
#include <velka/utilities>

#include "logcapture.h"
#include "velka_test.h"

using velka::utilities::utilities;
using velka_test::fake_tools;
using velka_test::loop_device;
using velka_test::sh;

namespace {

std::string q(const std::string& s) {
    return utilities::shellquote(s);
}

std::string trimmed(const std::string& scmd) {
    std::string sout;
    sh(scmd, &sout);
    return utilities::trim(sout);
}

std::string m(const std::string& sfunc, const std::string& stext) {
    return velka_test::msg("lvm", "lvm::" + sfunc, stext);
}

// A group name of this process, so runs beside other tests never meet.
std::string groupname(const std::string& sbase) {
    return sbase + std::to_string(getpid());
}

// The udev database entry path of a node's numbers.
std::string entryof(const std::string& snode) {
    struct stat st;
    if (stat(snode.c_str(), &st) != 0) return "";
    return "/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" +
           std::to_string(minor(st.st_rdev));
}

// udevadm's properties of a node, as an entry file holds them.
std::string properties(const std::string& snode) {
    std::string sout, s;
    sh("udevadm info --query=property --name " + q(snode), &sout);
    std::list<std::string> l;
    std::vector<char> v(sout.begin(), sout.end());
    v.push_back('\0');
    char sdelim[] = "\n";
    utilities::tokenize(v.data(), sdelim, l);
    for (const auto& sline : l) s += utilities::trim(sline) + "\n";
    return s;
}

class Root_Lvm : public ::testing::Test {
protected:
    void SetUp() override {
        VELKA_REQUIRE_ROOT();
        VELKA_REQUIRE_TOOL("pvcreate");
        VELKA_REQUIRE_TOOL("udevadm");
        // The udev database of these tests: /run of this namespace.
        ASSERT_EQ(mount("velka-test", "/run", "tmpfs", 0, "mode=0755"), 0);
        m_brun = true;
    }
    void TearDown() override {
        if (m_brun) umount2("/run", MNT_DETACH);
    }
    bool m_brun = false;
};

// Removes a group and the physical volumes however a test ends.
struct lvmcleanup {
    std::string svg;
    std::vector<std::string> ldevs;
    ~lvmcleanup() {
        sh("vgremove -ff " + q(svg) + " >/dev/null 2>&1");
        for (const auto& s : ldevs) sh("pvremove -ff -y " + q(s) + " >/dev/null 2>&1");
    }
};

}  // namespace

TEST_F(Root_Lvm, GroupsOfRealPhysicalVolumesMatchTheTools) {
    loop_device d1(64), d2(64);
    ASSERT_TRUE(d1.ok() && d2.ok());
    struct {
        unsigned int uisize;
        const char* ssize;
        unsigned long long ulltotal;  // 2 x 64 MB, one extent of each disk for the label
    } cases[] = {{4, "4.00", 30}, {32, "32.00", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uisize);
        std::string svg = groupname("velkaroot");
        lvmcleanup guard{svg, {d1.device(), d2.device()}};
        velka_test::logcapture log;
        velka::lvm::lvm mgr(std::list<std::string>{d1.device(), d2.device()}, log.src());
        ASSERT_EQ(mgr.vgcreate(svg, c.uisize), 0);
        EXPECT_EQ(mgr.getfreeextents(), c.ulltotal);
        std::string sq = " --noheadings --nosuffix --units m --separator '|' -o ";
        EXPECT_EQ(trimmed("vgs" + sq + "vg_extent_size,vg_extent_count,vg_free_count " + q(svg)),
                  std::string(c.ssize) + "|" + std::to_string(c.ulltotal) + "|" +
                      std::to_string(c.ulltotal));
        for (const auto* pd : {&d1, &d2}) {
            EXPECT_EQ(trimmed("pvs --noheadings -o vg_name " + q(pd->device())), svg);
            std::string sname;
            EXPECT_EQ(mgr.pv_get_vgname(pd->device(), sname), 0);
            EXPECT_EQ(sname, svg);
        }
        std::list<std::string> lgroups;
        EXPECT_EQ(mgr.scanvg(lgroups), 0);
        EXPECT_NE(std::find(lgroups.begin(), lgroups.end(), svg), lgroups.end());
        // No volume yet: the scan finds none and writes no entry.
        std::list<std::string> lvols{"stale"};
        EXPECT_EQ(mgr.scanlv(svg, lvols), 0);
        EXPECT_TRUE(lvols.empty());

        EXPECT_EQ(mgr.removevg(svg), 0);
        EXPECT_EQ(trimmed("vgs --noheadings -o vg_name " + q(svg) + " 2>/dev/null"), "");
        EXPECT_EQ(mgr.pvremove(d1.device()), 0);
        EXPECT_EQ(mgr.pvremove(d2.device()), 0);
        EXPECT_EQ(trimmed("pvs --noheadings -o pv_name " + q(d1.device()) + " 2>/dev/null"), "");
        std::string sname = "untouched";
        EXPECT_EQ(mgr.pv_get_vgname(d1.device(), sname), 0);
        EXPECT_EQ(sname, "untouched");
        EXPECT_EQ(log.count_containing("will be created using command: vgcreate  " + svg +
                                       " --physicalextentsize " + std::to_string(c.uisize) + "M " +
                                       d1.device() + " " + d2.device() + " "),
                  1u);
    }
}

TEST_F(Root_Lvm, HostileGroupNamesReachTheRealToolAsOneArgument) {
    loop_device d1(64);
    ASSERT_TRUE(d1.ok());
    velka_test::tempdir dir;
    std::string spwned = dir / "pwned";
    for (const std::string& svg :
         std::vector<std::string>{"a b", "x;touch " + spwned, "$(touch " + spwned + ")"}) {
        SCOPED_TRACE(svg);
        lvmcleanup guard{svg, {d1.device()}};
        velka_test::logcapture log;
        velka::lvm::lvm mgr(std::list<std::string>{d1.device()}, log.src());
        EXPECT_EQ(mgr.vgcreate(svg, 4), -1);
        // The tool's own text ends the message (a caller's open descriptors may be reported
        // before it).
        std::string sprefix =
            m("vgcreate", "Volume group " + svg + " creation failed with error: ");
        std::string ssuffix = "  New volume group name \"" + svg +
                              "\" is invalid.\n  Run `vgcreate --help' for more information.";
        auto l = log.messages();
        EXPECT_EQ(std::count_if(l.begin(), l.end(),
                                [&](const std::string& s) {
                                    return s.compare(0, sprefix.size(), sprefix) == 0 &&
                                           s.size() >= ssuffix.size() &&
                                           s.compare(s.size() - ssuffix.size(), ssuffix.size(),
                                                     ssuffix) == 0;
                                }),
                  1);
    }
    struct stat st;
    EXPECT_NE(stat(spwned.c_str(), &st), 0);
}

TEST_F(Root_Lvm, VolumeAndDeviceMapperNodesGetTheEntriesUdevadmReports) {
    loop_device d1(16), d2(16);
    ASSERT_TRUE(d1.ok() && d2.ok());
    struct stat st1, st2;
    ASSERT_EQ(stat(d1.device().c_str(), &st1), 0);
    ASSERT_EQ(stat(d2.device().c_str(), &st2), 0);
    // Nodes as LVM and device-mapper would make them, in a writable layer over /dev: the
    // volume's link, and /dev/mapper with the control node and a hidden name.
    velka_test::overlay_mount dev("/dev");
    ASSERT_TRUE(dev.ok());
    ASSERT_EQ(mkdir("/dev/mapper", 0755), 0);
    ASSERT_EQ(mkdir("/dev/data", 0755), 0);
    ASSERT_EQ(mknod("/dev/mapper/data-vol1", S_IFBLK | 0600, st1.st_rdev), 0);
    ASSERT_EQ(symlink("../mapper/data-vol1", "/dev/data/vol1"), 0);
    ASSERT_EQ(mknod("/dev/mapper/data-pool", S_IFBLK | 0600, st2.st_rdev), 0);
    ASSERT_EQ(mknod("/dev/mapper/control", S_IFCHR | 0600, makedev(10, 236)), 0);
    ASSERT_EQ(mknod("/dev/mapper/.hidden", S_IFBLK | 0600, makedev(7, 250)), 0);

    fake_tools fakes;
    fakes.add_fixture("vgcreate", "lvm/lab/vgcreate.out");
    fakes.add_fixture("vgdisplay", "lvm/lab/vgdisplay-data.out");
    fakes.add_fixture("lvcreate", "lvm/lab/lvcreate.out");
    fakes.add_fixture("vgchange", "lvm/lab/vgchange-ay.out");
    velka_test::logcapture log;
    velka::lvm::lvm mgr(log.src());
    ASSERT_EQ(mgr.vgcreate("data", 4), 0);
    ASSERT_EQ(mgr.lvcreate("vol1", 10), 0);
    std::string sentry = entryof("/dev/data/vol1");
    EXPECT_EQ(sentry, entryof(d1.device()));
    EXPECT_EQ(velka_test::slurp(sentry), properties("/dev/data/vol1"));
    EXPECT_NE(velka_test::slurp(sentry).find("DEVNAME=" + d1.device() + "\n"), std::string::npos);

    // Activation: the handler thread writes the entries of the nodes under /dev/mapper.
    ASSERT_EQ(unlink(sentry.c_str()), 0);
    ASSERT_EQ(mgr.activatesinglevg("data"), 0);
    EXPECT_EQ(velka_test::slurp(sentry), properties("/dev/mapper/data-vol1"));
    EXPECT_EQ(velka_test::slurp(entryof(d2.device())), properties("/dev/mapper/data-pool"));
    std::list<std::string> lentries;
    utilities::readdir("/run/udev/data", lentries);
    lentries.sort();
    EXPECT_EQ(lentries, (std::list<std::string>{entryof(d1.device()).substr(15),
                                                entryof(d2.device()).substr(15)}));
    EXPECT_GE(log.count_containing("Will attempt to create udev entry for : /dev/mapper/data-pool"),
              1u);
    EXPECT_EQ(log.count_containing(".hidden"), 0u);
    EXPECT_EQ(log.count_containing("/dev/mapper/control"), 0u);
}

TEST_F(Root_Lvm, AVolumeScanThatCannotStartReportsFailureAndWritesNothing) {
    loop_device d1(16);
    ASSERT_TRUE(d1.ok());
    velka_test::tempdir dir;
    velka_test::spew(dir / "noexec", "", 0644);
    // The stale path's entry exists: writing it again would succeed without running anything,
    // so only the scan's own failure can make the result.
    ASSERT_EQ(sh("mkdir -p /run/udev/data"), 0);
    velka_test::spew(entryof(d1.device()), "DEVNAME=before\n");
    // In a child with a mount namespace of its own, the shell cannot be run.
    int istatus = velka_test::run_in_child([&]() {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
            return 10;
        if (mount((dir / "noexec").c_str(), "/bin/sh", nullptr, MS_BIND, nullptr) != 0) return 11;
        velka::lvm::lvm mgr(nullptr);
        std::list<std::string> l{d1.device()};  // what the caller held before
        if (mgr.scanlv("data", l) != -1) return 1;
        if (l != std::list<std::string>{d1.device()}) return 2;
        if (velka_test::slurp(entryof(d1.device())) != "DEVNAME=before\n") return 3;
        std::list<std::string> lvgs{"kept"};
        if (mgr.scanvg(lvgs) != -1 || lvgs != std::list<std::string>{"kept"}) return 4;
        std::string svg = "kept";
        if (mgr.pv_get_vgname(d1.device(), svg) != -1 || svg != "kept") return 5;
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(istatus));
    EXPECT_EQ(WEXITSTATUS(istatus), 0);
}
