// Filesystems and swap with the real tools on loop devices backed by sparse files, inside the
// test binary's private mount namespace: mkfs, the type and UUID queries checked against
// blkid, mounting with option lists and hostile mount paths, swap areas (switched off again
// afterwards), and attributes too large to read.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/fs>
#include <velka/utilities>

#include "mounts_log.h"
#include "velka_test.h"

using mounts_test::logcapture;
using mounts_test::msg;
using velka::utilities::utilities;
using velka_test::loop_device;
using velka_test::sh;
using velka_test::tempdir;

namespace {

std::string blkidtag(const std::string& sdev, const std::string& stag) {
    std::string sout;
    sh("blkid -p -s " + stag + " -o value " + utilities::shellquote(sdev), &sout);
    return utilities::trim(sout);
}

bool mounted_at(const std::string& spath) {
    struct stat st, parent;
    if (stat(spath.c_str(), &st) != 0 || stat((spath + "/..").c_str(), &parent) != 0) return false;
    return st.st_dev != parent.st_dev;
}

// Unmounts whatever is still mounted on a path when the test ends.
struct unmount_guard {
    explicit unmount_guard(const std::string& spath) : m_spath(spath) {}
    ~unmount_guard() {
        while (mounted_at(m_spath)) {
            if (sh("umount " + utilities::shellquote(m_spath)) != 0) break;
        }
    }
    std::string m_spath;
};

// Switches a swap area off when the test ends.
struct swapoff_guard {
    explicit swapoff_guard(const std::string& sdev) : m_sdev(sdev) {}
    ~swapoff_guard() {
        sh("swapoff " + utilities::shellquote(m_sdev) + " 2>/dev/null");
    }
    std::string m_sdev;
};

class Root_Fs : public ::testing::Test {
protected:
    void SetUp() override {
        VELKA_REQUIRE_ROOT();
        // blkid keeps a cache of what it found; the tests' devices stay out of the host's.
        setenv("BLKID_FILE", (m_cache / "blkid.tab").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("BLKID_FILE");
    }
    tempdir m_cache;
};

}  // namespace

TEST_F(Root_Fs, MkfsXfsAndExt4AreFoundAgainByTypeAndUuid) {
    VELKA_REQUIRE_TOOL("mkfs.xfs");
    VELKA_REQUIRE_TOOL("mkfs.ext4");
    loop_device xfsdev(320), ext4dev(64);
    ASSERT_TRUE(xfsdev.ok() && ext4dev.ok());
    logcapture log;
    velka::fs::fs fsys(log.src());
    ASSERT_EQ(fsys.mkfs(xfsdev.device(), "xfs"), 0);
    ASSERT_EQ(fsys.mkfs(ext4dev.device(), "ext4"), 0);
    EXPECT_EQ(blkidtag(xfsdev.device(), "TYPE"), "xfs");
    EXPECT_EQ(fsys.getfstype(xfsdev.device()), "xfs");
    EXPECT_EQ(fsys.getfstype(ext4dev.device()), "ext4");
    std::string sxfsuuid = fsys.getfsuuid(xfsdev.device(), "xfs");
    EXPECT_EQ(sxfsuuid.size(), 36u);
    EXPECT_EQ(sxfsuuid, blkidtag(xfsdev.device(), "UUID"));
    std::string sext4uuid = fsys.getfsuuid(ext4dev.device(), "ext4");
    EXPECT_EQ(sext4uuid.size(), 36u);
    EXPECT_EQ(sext4uuid, blkidtag(ext4dev.device(), "UUID"));
    // The xfs inodes are 512 bytes.
    std::string sinfo;
    sh("xfs_db -r -c 'sb 0' -c 'p inodesize' " + xfsdev.device(), &sinfo);
    EXPECT_EQ(utilities::trim(sinfo), "inodesize = 512");
    // A type asked for the wrong filesystem finds nothing.
    EXPECT_EQ(fsys.getfsuuid(ext4dev.device(), "xfs"), "");
    // Formatting something that is not a device fails with the tool's words.
    EXPECT_EQ(fsys.mkfs(m_cache / "nothing", "ext4"), -1);
    EXPECT_EQ(log.count_containing("Format command echo y | mkfs -t ext4 " + (m_cache / "nothing") +
                                   " failed error: "),
              1u);
}

TEST_F(Root_Fs, LabelledFat16UuidIsTheUuidNotTheFirstTag) {
    VELKA_REQUIRE_TOOL("mkfs.vfat");
    loop_device dev(64);
    ASSERT_TRUE(dev.ok());
    ASSERT_EQ(sh("mkfs.vfat -F 16 -n APPL " + dev.device() + " >/dev/null"), 0);
    velka::fs::fs fsys(nullptr);
    std::string suuid = blkidtag(dev.device(), "UUID");
    ASSERT_EQ(suuid.size(), 9u);
    EXPECT_EQ(fsys.getfsuuid(dev.device(), "vfat"), suuid);
    EXPECT_EQ(fsys.getfsuuid(dev.device(), "fat"), suuid);
    EXPECT_EQ(fsys.getfstype(dev.device()), "vfat");
}

TEST_F(Root_Fs, MountWithOptionListsAndHostilePaths) {
    VELKA_REQUIRE_TOOL("mkfs.ext4");
    loop_device dev(64);
    ASSERT_TRUE(dev.ok());
    tempdir dir;
    logcapture log;
    velka::fs::fs fsys(log.src());
    ASSERT_EQ(fsys.mkfs(dev.device(), "ext4"), 0);

    std::string splain = dir / "plain";
    ASSERT_EQ(fsys.mkdir(splain, 0755), 0);
    unmount_guard gplain(splain);
    std::list<std::string> lopts{"ro", "", "noatime"};
    ASSERT_EQ(fsys.mount(dev.device(), splain, "ext4", lopts), 0);
    EXPECT_TRUE(mounted_at(splain));
    std::string sopts;
    sh("findmnt -n -o OPTIONS --mountpoint " + utilities::shellquote(splain), &sopts);
    EXPECT_NE(sopts.find("ro"), std::string::npos);
    EXPECT_NE(sopts.find("noatime"), std::string::npos);
    EXPECT_EQ(fsys.umount(splain), 0);
    EXPECT_FALSE(mounted_at(splain));
    EXPECT_EQ(fsys.umount(splain), -1);

    // An empty option list mounts with the defaults.
    std::list<std::string> lnone;
    EXPECT_EQ(fsys.mount(dev.device(), splain, "ext4", lnone), 0);
    EXPECT_TRUE(mounted_at(splain));
    EXPECT_EQ(fsys.umount(splain), 0);

    // Mount paths the shell would otherwise act on.
    std::string spwned = dir / "pwned";
    for (const std::string& sname :
         std::vector<std::string>{"a b", "$(touch " + spwned + ")", "x;touch " + spwned,
                                  "q'uote\"d", "new\nline", "-o"}) {
        SCOPED_TRACE(sname);
        std::string spath = dir / sname;
        ASSERT_EQ(fsys.mkdir_r(spath, 0755), 0);
        unmount_guard g(spath);
        std::list<std::string> lrw{"rw"};
        EXPECT_EQ(fsys.mount(dev.device(), spath, "ext4", lrw), 0);
        EXPECT_TRUE(mounted_at(spath));
        EXPECT_EQ(fsys.umount(spath), 0);
        EXPECT_FALSE(mounted_at(spath));
    }
    EXPECT_FALSE(utilities::isfile(spwned));
    // A device path and a type of the same kind reach mount whole, and fail.
    std::list<std::string> lrw{"rw"};
    EXPECT_EQ(fsys.mount("/dev/null;touch " + spwned, splain, "ext4", lrw), -1);
    EXPECT_EQ(fsys.mount(dev.device(), splain, "ext4 -o remount", lrw), -1);
    EXPECT_EQ(fsys.mount(dev.device(), splain, "ext4", lrw = {"rw' '--bind"}), -1);
    EXPECT_FALSE(mounted_at(splain));
    EXPECT_FALSE(utilities::isfile(spwned));
    EXPECT_EQ(log.count_containing("Mount command mount -t ext4 -o rw '/dev/null;touch "), 1u);
}

TEST_F(Root_Fs, SwapAreaIsCreatedFoundAndActivated) {
    VELKA_REQUIRE_TOOL("mkswap");
    VELKA_REQUIRE_TOOL("swapon");
    loop_device dev(64);
    ASSERT_TRUE(dev.ok());
    logcapture log;
    velka::fs::fs fsys(log.src());
    ASSERT_EQ(fsys.createswapdevice(dev.device()), 0);
    std::string suuid = blkidtag(dev.device(), "UUID");
    ASSERT_EQ(suuid.size(), 36u);
    // The UUID comes as the tool printed it, line end included.
    EXPECT_EQ(fsys.getswapdevuuid(dev.device()), suuid + "\n");
    {
        swapoff_guard guard(dev.device());
        ASSERT_EQ(fsys.activateswapdevice(dev.device()), 0);
        std::string sswaps = velka_test::slurp("/proc/swaps");
        EXPECT_NE(sswaps.find(dev.device() + " "), std::string::npos);
        // A second activation of the same area fails.
        EXPECT_EQ(fsys.activateswapdevice(dev.device()), -1);
    }
    EXPECT_EQ(velka_test::slurp("/proc/swaps").find(dev.device() + " "), std::string::npos);
    // Not a swap area: the query finds nothing.
    EXPECT_EQ(fsys.getswapdevuuid("/dev/null"), "");
    EXPECT_EQ(
        log.count_containing("Failed to activate swap device " + dev.device() + " error: swapon: "),
        1u);
}

TEST_F(Root_Fs, AttributeValuesBeyondTheReadBufferFailWithRangeError) {
    VELKA_REQUIRE_TOOL("mkfs.xfs");
    loop_device dev(320);
    ASSERT_TRUE(dev.ok());
    tempdir dir;
    logcapture log;
    velka::fs::fs fsys(log.src());
    ASSERT_EQ(fsys.mkfs(dev.device(), "xfs"), 0);
    unmount_guard g(dir.path());
    std::list<std::string> lopts{"rw"};
    ASSERT_EQ(fsys.mount(dev.device(), dir.path(), "xfs", lopts), 0);
    std::string sfull(4096, 'v'), sover(4097, 'w'), sval = "kept";
    EXPECT_EQ(fsys.setextendedattribute(dir.path(), "trusted.velka.full", sfull), 0);
    EXPECT_EQ(fsys.getextendedattribute(dir.path(), "trusted.velka.full", sval), 4096);
    EXPECT_EQ(sval, sfull);
    sval = "kept";
    EXPECT_EQ(fsys.setextendedattribute(dir.path(), "trusted.velka.over", sover), 0);
    EXPECT_EQ(fsys.getextendedattribute(dir.path(), "trusted.velka.over", sval), -1);
    EXPECT_EQ(sval, "kept");
    EXPECT_EQ(fsys.umount(dir.path()), 0);
    EXPECT_TRUE(log.has(msg("fs", "fs::getextendedattribute",
                            "Failed to extract trusted.velka.over attribute from file " +
                                dir.path() + "error: Numerical result out of range")));
}
