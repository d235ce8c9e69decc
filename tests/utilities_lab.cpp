// lab-args: --disk scsi_debug:dev_size_mb=160,lbpu=1,lbpws=1
// lab-args: --disk scsi-hd:size=512M,serial=VELKALAB01,rotation_rate=7200
//
// Command and file helpers against the real disks of the lab's kernel: SCSI block and
// generic nodes with their real major and minor numbers, sysfs attributes, and a thin pool
// made with the real LVM tools (device-mapper works in the lab).
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <list>
#include <string>

#include <gtest/gtest.h>

#include <velka/utilities>

#include "velka_test.h"

using velka::utilities::utilities;

namespace {

// The sd disks of the machine, by name (sda, sdb, ...).
std::list<std::string> scsidisks() {
    std::list<std::string> ldisks, lall;
    utilities::readdir("/sys/block", lall);
    for (const auto& s : lall) {
        if (s.compare(0, 2, "sd") == 0) ldisks.push_back(s);
    }
    ldisks.sort();
    return ldisks;
}

// The disk whose model (sysfs, trimmed) is smodel, or whose unit serial number page holds
// sserial; "" when there is none. Disk names follow probe order, so tests never assume them.
std::string findisk(const std::string& smodel, const std::string& sserial) {
    for (const auto& s : scsidisks()) {
        std::string sdev = "/sys/block/" + s + "/device/";
        if (!smodel.empty() && utilities::trim(utilities::read(sdev + "model")) == smodel) return s;
        if (!sserial.empty() &&
            velka_test::slurp(sdev + "vpd_pg80").find(sserial) != std::string::npos)
            return s;
    }
    return "";
}

}  // namespace

TEST(Lab_Utilities, ScsiBlockAndGenericNodes) {
    auto ldisks = scsidisks();
    ASSERT_GE(ldisks.size(), 2u) << "the lab was started without its two SCSI disks";
    for (const auto& s : ldisks) {
        SCOPED_TRACE(s);
        int imaj = -1, imin = -1;
        ASSERT_TRUE(utilities::isblkdev("/dev/" + s, imaj, imin));
        EXPECT_EQ(imaj, 8);  // SCSI disks
        EXPECT_EQ(utilities::read("/sys/block/" + s + "/dev"),
                  std::to_string(imaj) + ":" + std::to_string(imin));
        // Every SCSI disk has a generic node; it is a character device, not a block device.
        std::list<std::string> lsg;
        ASSERT_EQ(utilities::readdir("/sys/block/" + s + "/device/scsi_generic", lsg), 0);
        ASSERT_EQ(lsg.size(), 1u);
        std::string ssg = "/dev/" + lsg.front();
        struct stat st;
        ASSERT_EQ(stat(ssg.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_FALSE(utilities::isblkdev(ssg));
        EXPECT_EQ(static_cast<int>(major(st.st_rdev)), 21);  // the sg driver
        EXPECT_EQ(utilities::read("/sys/class/scsi_generic/" + lsg.front() + "/dev"),
                  std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
    }
}

TEST(Lab_Utilities, SysfsAttributesOfRealDisks) {
    std::string sdebug = findisk("scsi_debug", "");
    std::string shd = findisk("", "VELKALAB01");
    ASSERT_FALSE(sdebug.empty());
    ASSERT_FALSE(shd.empty());
    // Sizes in 512-byte sectors, as the kernel reports them, agree with what blockdev reads
    // through the device node.
    EXPECT_EQ(utilities::strtoul(utilities::read("/sys/block/" + sdebug + "/size")),
              160ul * 1024 * 1024 / 512);
    EXPECT_EQ(utilities::strtoul(utilities::read("/sys/block/" + shd + "/size")),
              512ul * 1024 * 1024 / 512);
    std::string sout, serr;
    ASSERT_EQ(utilities::system("blockdev --getsize64 /dev/" + shd, sout, serr), 0) << serr;
    EXPECT_EQ(utilities::trim(sout), std::to_string(512ul * 1024 * 1024));
    // scsi_debug always reports a non-rotating medium; the virtio disk was given 7200 rpm.
    EXPECT_EQ(utilities::read("/sys/block/" + sdebug + "/queue/rotational"), "0");
    EXPECT_EQ(utilities::read("/sys/block/" + shd + "/queue/rotational"), "1");
    EXPECT_EQ(utilities::trim(utilities::read("/sys/block/" + sdebug + "/device/vendor")), "Linux");
    // The first line of a multi-line attribute only; a missing attribute reads empty.
    EXPECT_EQ(utilities::read("/sys/block/" + shd + "/no_such_attribute"), "");
    EXPECT_EQ(utilities::get_partition_name("/dev/" + shd, 1), "/dev/" + shd + "1");
}

TEST(Lab_Utilities, ThinPoolWithTheRealLvmTools) {
    std::string sdebug = findisk("scsi_debug", "");
    ASSERT_FALSE(sdebug.empty());
    std::string sdev = "/dev/" + sdebug;
    std::string sout, serr;
    auto run = [&](const std::string& scmd) {
        int irc = utilities::system(scmd, sout, serr);
        EXPECT_EQ(irc, 0) << scmd << "\n" << serr;
        return irc;
    };
    ASSERT_EQ(run("pvcreate -ff -y " + utilities::shellquote(sdev)), 0);
    ASSERT_EQ(run("vgcreate velkalab " + utilities::shellquote(sdev)), 0);
    ASSERT_EQ(run("lvcreate -y --type thin-pool -L 96M -n pool velkalab"), 0);
    ASSERT_EQ(run("lvcreate -y -V 1G -T velkalab/pool -n thin1"), 0);
    std::list<std::string> l;
    ASSERT_EQ(utilities::popen("lvs --noheadings -o lv_name,segtype velkalab", l, 0), 0);
    std::string sall;
    for (const auto& s : l) sall += s + "\n";
    EXPECT_NE(sall.find("thin-pool"), std::string::npos) << sall;
    EXPECT_NE(sall.find("thin1"), std::string::npos) << sall;
    EXPECT_TRUE(utilities::isblkdev("/dev/velkalab/thin1"));
    // A thin volume larger than its pool takes a filesystem.
    EXPECT_EQ(run("mkfs.ext4 -q /dev/velkalab/thin1"), 0);
    EXPECT_EQ(run("vgremove -ff -y velkalab && pvremove -y " + utilities::shellquote(sdev)), 0);
    EXPECT_FALSE(utilities::isblkdev("/dev/velkalab/thin1"));
}
