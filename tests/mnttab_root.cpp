// Location stamps with the real tools: an xfs on a loop device mounted in the test binary's
// private mount namespace, stamped, unmounted and mounted again; markers that are missing or
// carry extra bytes; a filesystem without extended attributes; and the inventory command
// reading a mount-path configuration file of stamped and unmounted entries.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/fs>
#include <velka/mntconfig>
#include <velka/mnttab>
#include <velka/utilities>

#include "mounts_log.h"
#include "velka_test.h"

using mounts_test::logcapture;
using mounts_test::msg;
using velka::mnttab::mnttab;
using velka::utilities::utilities;
using velka_test::loop_device;
using velka_test::sh;
using velka_test::tempdir;

namespace {

bool mounted_at(const std::string& spath) {
    struct stat st, parent;
    if (stat(spath.c_str(), &st) != 0 || stat((spath + "/..").c_str(), &parent) != 0) return false;
    return st.st_dev != parent.st_dev;
}

std::string q(const std::string& s) {
    return utilities::shellquote(s);
}

// An xfs (or other) filesystem on a loop device, mounted on a fresh directory, unmounted and
// detached at the end.
class mounted_fs {
public:
    mounted_fs(const std::string& stype, unsigned long long ullmb)
        : m_dev(ullmb), m_spath(m_dir / "mnt"), m_stype(stype) {
        if (!m_dev.ok()) return;
        velka::fs::fs fsys(nullptr);
        if (fsys.mkfs(m_dev.device(), stype) != 0 || fsys.mkdir(m_spath, 0755) != 0) return;
        m_bok = mount() == 0;
    }
    ~mounted_fs() {
        while (mounted_at(m_spath)) {
            if (sh("umount " + q(m_spath)) != 0) break;
        }
    }
    int mount() {
        std::list<std::string> lopts{"rw"};
        return velka::fs::fs(nullptr).mount(m_dev.device(), m_spath, m_stype, lopts);
    }
    int umount() {
        return velka::fs::fs(nullptr).umount(m_spath);
    }
    bool ok() const {
        return m_bok;
    }
    const std::string& path() const {
        return m_spath;
    }
    const std::string& device() const {
        return m_dev.device();
    }

private:
    loop_device m_dev;
    tempdir m_dir;
    std::string m_spath;
    std::string m_stype;
    bool m_bok = false;
};

class Root_Mnttab : public ::testing::Test {
protected:
    void SetUp() override {
        VELKA_REQUIRE_ROOT();
        VELKA_REQUIRE_TOOL("mkfs.xfs");
        setenv("BLKID_FILE", (m_cache / "blkid.tab").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("BLKID_FILE");
    }
    tempdir m_cache;
};

}  // namespace

TEST_F(Root_Mnttab, StampsSurviveAnUnmountAndAreReadBack) {
    mounted_fs xfs("xfs", 320);
    ASSERT_TRUE(xfs.ok());
    logcapture log;
    mnttab e(xfs.device(), xfs.path() + "//", "xfs", "rw", log.src());
    e.set_stamploc("/data/vol1");
    e.set_stampbdevloc("/dev/sdb:/dev/sdc::/dev/sdd");
    ASSERT_TRUE(e.stampingsupported());
    ASSERT_EQ(e.stamp_loc(), 0);
    ASSERT_EQ(e.stamp_bdevloc(), 0);
    // The marker is stored as its 15 bytes, without a NUL.
    std::string svalue;
    sh("getfattr --only-values -n trusted.zoanstamp " + q(xfs.path()), &svalue);
    EXPECT_EQ(svalue, "quorvelane@zoan");

    ASSERT_EQ(e.umount(), 0);
    EXPECT_FALSE(mounted_at(xfs.path()));
    std::string sloc = "unchanged";
    EXPECT_EQ(e.check_valid_stamp(xfs.path(), sloc), -1);  // the bare mount point
    EXPECT_EQ(sloc, "unchanged");
    ASSERT_EQ(e.mount(), 0);

    // Any entry reads them: only the path matters.
    mnttab reader(nullptr);
    EXPECT_EQ(reader.check_valid_stamp(xfs.path(), sloc), 0);
    EXPECT_EQ(sloc, "/data/vol1");
    std::list<std::string> ldevs{"stale"};
    EXPECT_EQ(reader.extract_blkdev_stamp(xfs.path(), ldevs), 0);
    EXPECT_EQ(ldevs, std::list<std::string>({"/dev/sdb", "/dev/sdc", "/dev/sdd"}));

    EXPECT_TRUE(log.has(msg(
        "mnttab", "mnttab::stamp_loc",
        "Mount path location will be stamped on block device " + xfs.device() + " as /data/vol1")));
    EXPECT_EQ(log.count_containing("mnttab::stamp_loc( )  Successfully stamped " + xfs.path()), 2u);
    EXPECT_TRUE(log.has(msg("mnttab", "mnttab::stamp_bdevloc",
                            "Successfully stamped " + xfs.path() +
                                " with blkdevid id of /dev/sdb:/dev/sdc::/dev/sdd")));
    EXPECT_TRUE(log.has(msg("mnttab", "mnttab::check_valid_stamp",
                            "Failed to find valid orvane stamp @ " + xfs.path())));
}

TEST_F(Root_Mnttab, MarkersThatDifferOrAreMissingAreRejected) {
    mounted_fs xfs("xfs", 320);
    ASSERT_TRUE(xfs.ok());
    std::string spath = xfs.path();
    mnttab e(xfs.device(), spath, "xfs", "rw", nullptr);
    e.set_stamploc("/data/vol2");
    ASSERT_EQ(e.stamp_loc(), 0);
    std::string sloc = "unchanged";
    // Extra bytes after the marker, a trailing NUL, a shorter marker.
    for (const std::string& sraw :
         {std::string("quorvelane@zoanX"), std::string("quorvelane@zoan\0", 16),
          std::string("quorvelane")}) {
        ASSERT_EQ(setxattr(spath.c_str(), "trusted.zoanstamp", sraw.data(), sraw.size(), 0), 0);
        EXPECT_EQ(e.check_valid_stamp(spath, sloc), -1);
        EXPECT_EQ(sloc, "unchanged");
    }
    // The location is there, the marker is not: rejected without reading the location.
    ASSERT_EQ(sh("setfattr -x trusted.zoanstamp " + q(spath)), 0);
    {
        logcapture log;
        mnttab checker(log.src());
        EXPECT_EQ(checker.check_valid_stamp(spath, sloc), -1);
        EXPECT_EQ(sloc, "unchanged");
        EXPECT_EQ(log.count_containing("trusted.mntstamp"), 0u);
        EXPECT_TRUE(log.has(msg("mnttab", "mnttab::check_valid_stamp",
                                "Failed to find valid orvane stamp @ " + spath)));
    }
    // The marker is there, the location is not.
    ASSERT_EQ(sh("setfattr -n trusted.zoanstamp -v quorvelane@zoan " + q(spath)), 0);
    ASSERT_EQ(sh("setfattr -x trusted.mntstamp " + q(spath)), 0);
    {
        logcapture log;
        mnttab checker(log.src());
        EXPECT_EQ(checker.check_valid_stamp(spath, sloc), -1);
        EXPECT_EQ(sloc, "unchanged");
        EXPECT_TRUE(log.has(msg("mnttab", "mnttab::check_valid_stamp",
                                "Failed to find valid mount stamp @ " + spath)));
    }
    // No location set: nothing is written. An empty location is no valid stamp either.
    {
        logcapture log;
        mnttab unset(xfs.device(), spath, "xfs", "rw", log.src());
        EXPECT_EQ(unset.stamp_loc(), -1);
        EXPECT_LT(getxattr(spath.c_str(), "trusted.mntstamp", nullptr, 0), 0);
        ASSERT_EQ(setxattr(spath.c_str(), "trusted.mntstamp", "", 0, 0), 0);
        EXPECT_EQ(unset.check_valid_stamp(spath, sloc), -1);
        EXPECT_EQ(sloc, "unchanged");
        EXPECT_TRUE(log.has(msg("mnttab", "mnttab::stamp_loc",
                                "No mount path location set for " + spath + ": nothing stamped")));
        EXPECT_TRUE(log.has(msg("mnttab", "mnttab::check_valid_stamp",
                                "Found an empty mount path stamp @ " + spath)));
    }
    // A device list with a NUL byte ends there; a missing list leaves the caller's alone.
    std::string sdevs("/dev/sdb\0/dev/sdc", 17);
    ASSERT_EQ(setxattr(spath.c_str(), "trusted.blkdevstamp", sdevs.data(), sdevs.size(), 0), 0);
    std::list<std::string> ldevs;
    EXPECT_EQ(e.extract_blkdev_stamp(spath, ldevs), 0);
    EXPECT_EQ(ldevs, std::list<std::string>({"/dev/sdb"}));
    ASSERT_EQ(sh("setfattr -x trusted.blkdevstamp " + q(spath)), 0);
    EXPECT_EQ(e.extract_blkdev_stamp(spath, ldevs), -1);
    EXPECT_EQ(ldevs, std::list<std::string>({"/dev/sdb"}));
}

TEST_F(Root_Mnttab, FilesystemWithoutTrustedAttributesFailsCleanly) {
    // procfs keeps no extended attributes of any kind.
    const std::string spath = "/proc";
    logcapture log;
    mnttab e("proc", spath, "proc", "rw", log.src());
    EXPECT_FALSE(e.stampingsupported());
    e.set_stamploc("/data/v");
    e.set_stampbdevloc("/dev/sdb");
    EXPECT_EQ(e.stamp_loc(), -1);
    EXPECT_EQ(e.stamp_bdevloc(), -1);
    std::string sloc = "unchanged";
    EXPECT_EQ(e.check_valid_stamp(spath, sloc), -1);
    EXPECT_EQ(sloc, "unchanged");
    std::list<std::string> ldevs{"kept"};
    EXPECT_EQ(e.extract_blkdev_stamp(spath, ldevs), -1);
    EXPECT_EQ(ldevs, std::list<std::string>({"kept"}));
    EXPECT_TRUE(log.has(
        msg("mnttab", "mnttab::stamp_loc", "Failed to stamp " + spath + " with a id of /data/v")));
    EXPECT_TRUE(log.has(msg("mnttab", "mnttab::stamp_bdevloc",
                            "Failed to stamp " + spath + " with blkdevid id of /dev/sdb")));
    // The system's reason is logged by the attribute call underneath.
    EXPECT_TRUE(log.has(msg("fs", "fs::setextendedattribute",
                            "Failed to create trusted.mntstamp attribute on file " + spath +
                                "error: Operation not supported")));
    // Only the location was attempted: the marker is never written after a failure.
    EXPECT_EQ(log.count_containing("trusted.zoanstamp attribute on file"), 0u);
}

TEST_F(Root_Mnttab, InventoryShowsStampsOfMountedEntries) {
    std::string stool = std::string(VELKA_BINARY_DIR) + "/tools/velka-inventory";
    if (!velka_test::have_tool(stool)) GTEST_SKIP() << "needs " << stool;
    mounted_fs stamped("xfs", 320), bare("xfs", 320);
    ASSERT_TRUE(stamped.ok() && bare.ok());
    mnttab e(stamped.device(), stamped.path(), "xfs", "rw,noatime", nullptr);
    e.set_stamploc("/data/loc 1");
    e.set_stampbdevloc("/dev/sdb:/dev/sdc");
    ASSERT_EQ(e.stamp_loc(), 0);
    ASSERT_EQ(e.stamp_bdevloc(), 0);
    tempdir dir;
    std::string sconf = dir / "mounts.conf";
    {
        std::list<mnttab> l{e, mnttab(bare.device(), bare.path(), "xfs", "", nullptr),
                            mnttab("/dev/none", dir / "not mounted", "xfs", "rw", nullptr)};
        velka::mntconfig::mntconfig cfg(sconf, velka::mntconfig::updateentries, nullptr);
        ASSERT_EQ(cfg.update(l), 0);
    }
    std::string sout;
    ASSERT_EQ(sh(q(stool) + " --mounts " + q(sconf), &sout), 0);
    std::string sexpected =
        "Mount paths in " + sconf + "\n" + "  " + stamped.path() + "\n" +
        "    Device               " + stamped.device() + "\n" + "    Type                 xfs\n" +
        "    Options              rw,noatime\n" + "    Mounted              yes\n" +
        "    Location stamp       valid\n" + "    Location             /data/loc 1\n" +
        "    Devices              /dev/sdb /dev/sdc\n" + "  " + bare.path() + "\n" +
        "    Device               " + bare.device() + "\n" + "    Type                 xfs\n" +
        "    Options              defaults\n" + "    Mounted              yes\n" +
        "    Location stamp       none or not valid\n" + "    Location             -\n" +
        "    Devices              no block device stamp\n" + "  " + (dir / "not mounted") + "\n" +
        "    Device               /dev/none\n" + "    Type                 xfs\n" +
        "    Options              rw\n" + "    Mounted              no\n";
    EXPECT_EQ(sout, sexpected);
    ASSERT_EQ(sh(q(stool) + " --json --mounts " + q(sconf), &sout), 0);
    EXPECT_NE(sout.find("\"mount_path\": \"" + stamped.path() +
                        "\", \"type\": \"xfs\", \"options\": \"rw,noatime\", \"mounted\": true, "
                        "\"valid_stamp\": true, \"location\": \"/data/loc 1\", \"devices\": "
                        "[\"/dev/sdb\", \"/dev/sdc\"]}"),
              std::string::npos)
        << sout;
    EXPECT_NE(sout.find("\"mounted\": true, \"valid_stamp\": false, \"location\": null, "
                        "\"devices\": null}"),
              std::string::npos);
    // A file that cannot be read is an error of the command.
    EXPECT_EQ(sh(q(stool) + " --mounts " + q(dir / "missing") + " 2>/dev/null"), 1);
}
