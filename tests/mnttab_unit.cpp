// Mount entries without root: path normalisation, option splitting and joining, setters,
// ordering, the summary line, and mounting through a fake mount.
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/mntconfig>
#include <velka/mnttab>

#include "internal/mntconfig.h"

#include "mounts_log.h"
#include "velka_test.h"

using mounts_test::logcapture;
using mounts_test::msg;
using velka::mnttab::mnttab;

TEST(Unit_Mnttab, NormalizePathDropsRepeatedAndTrailingSlashes) {
    EXPECT_EQ(mnttab::normalize_path("//data///mnt/"), "/data/mnt");
    EXPECT_EQ(mnttab::normalize_path("/mnt//data/"), "/mnt/data");
    EXPECT_EQ(mnttab::normalize_path("/"), "/");
    EXPECT_EQ(mnttab::normalize_path("///"), "/");
    EXPECT_EQ(mnttab::normalize_path(""), "");
    EXPECT_EQ(mnttab::normalize_path("rel//dir/"), "rel/dir");
    EXPECT_EQ(mnttab::normalize_path("a"), "a");
    EXPECT_EQ(mnttab::normalize_path(std::string("/a\0b//", 6)), std::string("/a\0b", 4));
}

TEST(Unit_Mnttab, ConstructorsAndSettersKeepEntriesConsistent) {
    std::list<std::string> lopts{"rw", "", "noatime"};
    mnttab a("/dev/sdb1", "/mnt//data/", "xfs", lopts, nullptr);
    EXPECT_EQ(a.get_mntpath(), "/mnt/data");
    EXPECT_EQ(a.get_fsargs(), "rw,noatime");

    mnttab b("/dev/sdb1", "/", "xfs", "rw,,noatime,", nullptr);
    EXPECT_EQ(b.get_mntpath(), "/");
    EXPECT_EQ(b.get_fsargs(), "rw,noatime");
    EXPECT_EQ(mnttab("d", "/m", "xfs", "defaults", nullptr).get_fsargs(), "defaults");
    EXPECT_EQ(mnttab("d", "/m", "xfs", "", nullptr).get_fsargs(), "");
    EXPECT_EQ(mnttab("d", "/m", "xfs", ",,,", nullptr).get_fsargs(), "");

    mnttab c(nullptr);
    c.set_blkdev("/dev/sdc1");
    c.set_mntpath("//mnt//c//");
    c.set_fstype("ext4");
    c.set_fsargs("ro,,user_xattr");
    c.set_stamp(true);
    c.set_stamploc("/data/c");
    c.set_stampbdev(true);
    c.set_stampbdevloc("/dev/sdc:/dev/sdd");
    c.set_fsfreq(1);
    c.set_fspassno(4294967295u);
    EXPECT_EQ(c.get_mntpath(), "/mnt/c");
    EXPECT_EQ(c.get_fsargs(), "ro,user_xattr");
    // A copy carries every field.
    mnttab d(c);
    EXPECT_TRUE(d.get_stamp());
    EXPECT_EQ(d.get_stampbdevloc(), "/dev/sdc:/dev/sdd");
    EXPECT_EQ(d.get_fsfreq(), 1u);
    EXPECT_EQ(d.get_fspassno(), 4294967295u);
    std::list<std::string> lnew{"", "a"};
    d.set_fsargs(lnew);
    EXPECT_EQ(d.get_fsargs(), "a");
    // Option lists may be temporaries.
    d.set_fsargs(std::list<std::string>{"b", ""});
    EXPECT_EQ(d.get_fsargs(), "b");
    mnttab e("/dev/sdb1", "/mnt/e", "xfs", std::list<std::string>{"rw", "noatime"}, nullptr);
    EXPECT_EQ(e.get_fsargs(), "rw,noatime");
}

TEST(Unit_Mnttab, StampingOnlyForXfsWrittenExactly) {
    EXPECT_TRUE(mnttab("d", "/m", "xfs", "", nullptr).stampingsupported());
    EXPECT_FALSE(mnttab("d", "/m", "XFS", "", nullptr).stampingsupported());
    EXPECT_FALSE(mnttab("d", "/m", "ext4", "", nullptr).stampingsupported());
    EXPECT_FALSE(mnttab("d", "/m", "xfs ", "", nullptr).stampingsupported());
}

TEST(Unit_Mnttab, EntriesOrderAndCompareByMountPath) {
    mnttab a("/dev/sdz", "/mnt/a", "xfs", "", nullptr);
    mnttab a2("/dev/sda", "/mnt//a/", "ext4", "ro", nullptr);
    mnttab b("/dev/sda", "/mnt/b", "xfs", "", nullptr);
    mnttab hi("/dev/sda", "/mnt/\xe9", "xfs", "", nullptr);
    EXPECT_TRUE(a == a2);
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_FALSE(a < a2);
    // Byte order: a byte above 0x7f sorts after ASCII.
    EXPECT_TRUE(velka::mnttab::compare(b, hi));
    const mnttab& cb = b;
    EXPECT_TRUE(velka::mnttab::compare(cb, mnttab("/dev/sda", "/mnt/c", "xfs", "", nullptr)));
    EXPECT_FALSE(velka::mnttab::compare(hi, b));
    std::list<mnttab> l{hi, b, a};
    l.sort(velka::mnttab::compare);
    std::vector<std::string> lpaths;
    for (auto& e : l) lpaths.push_back(e.get_mntpath());
    EXPECT_EQ(lpaths, std::vector<std::string>({"/mnt/a", "/mnt/b", "/mnt/\xe9"}));
    l.sort();
    EXPECT_EQ(l.front().get_mntpath(), "/mnt/a");
}

TEST(Unit_Mnttab, LogInfoWritesOneSummaryLine) {
    logcapture log;
    mnttab e("/dev/sdb1", "/mnt/disk1", "xfs", "rw,noatime", log.src());
    e.set_fsfreq(1);
    e.set_fspassno(2);
    e.log_info("caller::op", "Entry");
    e.log_info(nullptr, nullptr);
    EXPECT_EQ(log.messages(),
              std::vector<std::string>(
                  {msg("mnttab", "caller::op",
                       " Entry BlkDev:/dev/sdb1 Mntpath:/mnt/disk1 FSType:xfs FSArgs:rw,noatime "
                       "FSFreq:1 FSPassNo:2"),
                   msg("mnttab", "",
                       "  BlkDev:/dev/sdb1 Mntpath:/mnt/disk1 FSType:xfs FSArgs:rw,noatime "
                       "FSFreq:1 FSPassNo:2")}));
}

TEST(Unit_Mnttab, MountAndUmountGoThroughTheMountTools) {
    velka_test::fake_tools fakes;
    fakes.add("mount", "");
    fakes.add("umount", "", 32, "umount: /mnt/disk1: not mounted.\n");
    logcapture log;
    mnttab e("/dev/sdb1", "/mnt//disk1/", "xfs", "rw,,noatime", log.src());
    EXPECT_EQ(e.mount(), 0);
    EXPECT_EQ(e.umount(), -1);
    fakes.add("mount", "", 32, "mount: failed\n");
    EXPECT_EQ(e.mount(), -1);
    auto lcalls = fakes.argvs();
    ASSERT_EQ(lcalls.size(), 3u);
    EXPECT_EQ(lcalls[0], std::vector<std::string>(
                             {"-t", "xfs", "-o", "rw,noatime", "/dev/sdb1", "/mnt/disk1"}));
    EXPECT_EQ(lcalls[1], std::vector<std::string>({"/mnt/disk1"}));
    EXPECT_TRUE(log.has(msg("mnttab", "mnttab::mount",
                            "Successfully mounted block device /dev/sdb1 at /mnt/disk1")));
    EXPECT_TRUE(log.has(
        msg("mnttab", "mnttab::mount", "Failed to mount block device /dev/sdb1 at /mnt/disk1")));
    EXPECT_TRUE(log.has(msg("fs", "fs::umount",
                            "Umount command umount /mnt/disk1 failed error: umount: /mnt/disk1: "
                            "not mounted.\n")));
}

// An entry read from a mount-path file with "-a" in its path column must not become
// "umount -a": the entry's unmount refuses it and runs nothing.
TEST(Unit_Mnttab, EntriesFromAFileNeverTurnIntoToolOptions) {
    velka_test::fake_tools fakes;
    fakes.add("mount", "");
    fakes.add("umount", "");
    std::list<mnttab> l;
    velka::mntconfig::parseentries("tmpfs -a tmpfs defaults 0 0\n-o /mnt/x xfs rw\n", l, nullptr);
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l.front().umount(), -1);
    EXPECT_EQ(l.front().mount(), -1);
    EXPECT_EQ(l.back().mount(), -1);
    EXPECT_TRUE(fakes.argvs().empty());
}
