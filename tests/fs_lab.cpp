// lab-args: --disk scsi-hd:size=512M,serial=VELKAFS01,rotation_rate=7200
//
// Filesystems, mounts and location stamps on a real SCSI disk of the lab's kernel: mkfs,
// blkid and xfs_admin against /dev/sdX, a mount entry that mounts itself and stamps its
// mount point, and the stamps read back after the filesystem was unmounted and mounted again.
#include <sys/stat.h>

#include <list>
#include <string>

#include <gtest/gtest.h>

#include <velka/fs>
#include <velka/mnttab>
#include <velka/utilities>

#include "velka_test.h"

using velka::utilities::utilities;

namespace {

// The SCSI disk whose unit serial number page holds sserial, as /dev/sdX; "" when none.
std::string diskbyserial(const std::string& sserial) {
    std::list<std::string> l;
    utilities::readdir("/sys/block", l);
    for (const auto& s : l) {
        if (s.compare(0, 2, "sd") == 0 &&
            velka_test::slurp("/sys/block/" + s + "/device/vpd_pg80").find(sserial) !=
                std::string::npos)
            return "/dev/" + s;
    }
    return "";
}

}  // namespace

TEST(Lab_Fs, XfsOnAScsiDiskMountedAndStamped) {
    std::string sdisk = diskbyserial("VELKAFS01");
    ASSERT_FALSE(sdisk.empty()) << "the lab was started without the disk VELKAFS01";
    velka::fs::fs fs(nullptr);
    ASSERT_EQ(fs.mkfs(sdisk, "xfs"), 0);
    EXPECT_EQ(fs.getfstype(sdisk), "xfs");
    std::string sout, serr;
    ASSERT_EQ(utilities::system("blkid -s UUID -o value " + sdisk, sout, serr), 0) << serr;
    EXPECT_EQ(fs.getfsuuid(sdisk, "xfs"), utilities::trim(sout));

    velka_test::tempdir dir;
    std::string smnt = dir / "vol1";
    ASSERT_EQ(fs.mkdir_r(smnt, 0755), 0);
    velka::mnttab::mnttab e(sdisk, smnt + "//", "xfs", "rw,noatime", nullptr);
    EXPECT_EQ(e.get_mntpath(), smnt);
    ASSERT_EQ(e.mount(), 0);
    e.set_stamploc("/data/vol1");
    e.set_stampbdevloc(sdisk + ":/dev/sdz");
    ASSERT_EQ(e.stamp_loc(), 0);
    ASSERT_EQ(e.stamp_bdevloc(), 0);
    ASSERT_EQ(e.umount(), 0);

    // The stamps live on the filesystem, not in the mount: they are there after a new mount.
    velka::mnttab::mnttab again(sdisk, smnt, "xfs", "ro", nullptr);
    ASSERT_EQ(again.mount(), 0);
    std::string sloc;
    EXPECT_EQ(again.check_valid_stamp(smnt, sloc), 0);
    EXPECT_EQ(sloc, "/data/vol1");
    std::list<std::string> ldevs;
    EXPECT_EQ(again.extract_blkdev_stamp(smnt, ldevs), 0);
    EXPECT_EQ(std::list<std::string>({sdisk, "/dev/sdz"}), ldevs);
    EXPECT_EQ(again.umount(), 0);
}

TEST(Lab_Fs, Ext4AndSwapOnAScsiDisk) {
    std::string sdisk = diskbyserial("VELKAFS01");
    ASSERT_FALSE(sdisk.empty());
    velka::fs::fs fs(nullptr);
    ASSERT_EQ(fs.mkfs(sdisk, "ext4"), 0);
    EXPECT_EQ(fs.getfstype(sdisk), "ext4");
    std::string sout, serr;
    ASSERT_EQ(utilities::system("blkid -s UUID -o value " + sdisk, sout, serr), 0) << serr;
    EXPECT_EQ(fs.getfsuuid(sdisk, "ext4"), utilities::trim(sout));

    ASSERT_EQ(fs.createswapdevice(sdisk), 0);
    EXPECT_EQ(fs.getfstype(sdisk), "swap");
    ASSERT_EQ(utilities::system("blkid -s UUID -o value " + sdisk, sout, serr), 0) << serr;
    EXPECT_EQ(utilities::trim(fs.getswapdevuuid(sdisk)), utilities::trim(sout));
    ASSERT_EQ(fs.activateswapdevice(sdisk), 0);
    EXPECT_NE(velka_test::slurp("/proc/swaps").find(sdisk), std::string::npos);
    EXPECT_EQ(utilities::system("swapoff " + sdisk, sout, serr), 0) << serr;
}
