// udev database entries with the host's real udevadm on a loop device, inside the test
// binary's private mount namespace with a fresh tmpfs over /run (so /run/udev/data starts
// missing and the host's is never touched); udevadm printing nothing or missing, through a
// fake bound over the system's udevadm.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <velka/udev>
#include <velka/utilities>

#include "logcapture.h"
#include "velka_test.h"

using velka::udev::udev;
using velka::utilities::utilities;
using velka_test::logcapture;
using velka_test::msg;

namespace {

class UdevRoot : public ::testing::Test {
protected:
    void SetUp() override {
        VELKA_REQUIRE_ROOT();
        VELKA_REQUIRE_TOOL("udevadm");
        m_prun.reset(new velka_test::tmpfs_mount("/run"));
        ASSERT_TRUE(m_prun->ok());
    }
    // The entry path of a node, from its own numbers.
    static std::string entryof(const std::string& sdev) {
        struct stat st;
        if (stat(sdev.c_str(), &st) != 0) return "";
        return "/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" +
               std::to_string(minor(st.st_rdev));
    }
    // What udevadm itself reports for the node, one line each with a line feed; with
    // sprefix "E:", as the entry file holds it.
    static std::string udevadmprops(const std::string& sdev, const std::string& sprefix = "") {
        std::string sout;
        velka_test::sh(udev::udevadmpath() + " info --query=property --name " +
                           utilities::shellquote(sdev) + " | sed 's/^/" + sprefix + "/'",
                       &sout);
        return sout;
    }
    std::unique_ptr<velka_test::tmpfs_mount> m_prun;
};

}  // namespace

TEST_F(UdevRoot, ConstructionCreatesTheDatabaseDirectoryOnce) {
    logcapture log;
    udev first(log.src());
    ASSERT_TRUE(utilities::isdir("/run/udev/data"));
    udev second(log.src());
    EXPECT_EQ(second.get_rundir(), "/run/udev/data");
    udev copy(second);
    EXPECT_EQ(copy.get_rundir(), second.get_rundir());
    EXPECT_EQ(copy.get_logsrc(), log.src());
    EXPECT_TRUE(
        log.has(msg("udev", "udev::udev", "Successfully created directory /run/udev/data")));
    EXPECT_TRUE(log.has(msg("udev", "udev::udev", "Directory already exists /run/udev/data")));
}

TEST_F(UdevRoot, LoopDeviceEntryEqualsUdevadmAndIsNeverRefreshed) {
    velka_test::loop_device loop(8);
    ASSERT_TRUE(loop.ok());
    logcapture log;
    udev writer(log.src());
    std::string sentry = entryof(loop.device());
    ASSERT_EQ(writer.create_entry(loop.device()), 0);
    std::string sexpected = udevadmprops(loop.device(), "E:");
    ASSERT_NE(sexpected.find("E:DEVNAME=" + loop.device() + "\n"), std::string::npos) << sexpected;
    EXPECT_EQ(velka_test::slurp(sentry), sexpected);

    // A second call finds the entry and leaves it as it is.
    velka_test::spew(sentry, "KEPT=1\n");
    ASSERT_EQ(writer.create_entry(loop.device()), 0);
    EXPECT_EQ(velka_test::slurp(sentry), "KEPT=1\n");

    std::string scmd = udev::udevadmpath() + " info --query=property --name " + loop.device();
    EXPECT_EQ(log.count_containing("udev information will be extracted for " + loop.device() +
                                   " using command " + scmd),
              2u);
    EXPECT_EQ(log.count_containing("Succesfully created create udev entry " + sentry), 1u);
    EXPECT_EQ(log.count_containing("Succesfully created create udev entry for block device " +
                                   loop.device()),
              2u);
    struct stat st;
    ASSERT_EQ(stat(loop.device().c_str(), &st), 0);
    EXPECT_TRUE(log.has(msg("udev", "udev::create_entry",
                            "Block device: " + loop.device() +
                                " Major: " + std::to_string(major(st.st_rdev)) +
                                " Minor: " + std::to_string(minor(st.st_rdev)))));
}

// The entry is read back by the real udevadm. Without a udev daemon, udevadm knows only the
// kernel's properties of a node, so udevadm at writing time is a fake answering what it would
// print after udev's rules ran: the real answer plus udev's own blkid builtin run on the
// node's ext4 filesystem. Every one of those properties must then come from the entry.
TEST_F(UdevRoot, UdevadmReadsTheEntrysProperties) {
    VELKA_REQUIRE_TOOL("mkfs.ext4");
    velka_test::loop_device loop(8);
    ASSERT_TRUE(loop.ok());
    ASSERT_EQ(velka_test::sh("mkfs.ext4 -q -L velkaroot " + loop.device()), 0);
    struct stat st;
    ASSERT_EQ(stat(loop.device().c_str(), &st), 0);
    std::string sblkid, sreal = udev::udevadmpath();
    ASSERT_EQ(velka_test::sh(sreal + " test-builtin blkid /sys/dev/block/" +
                                 std::to_string(major(st.st_rdev)) + ":" +
                                 std::to_string(minor(st.st_rdev)) + " 2>/dev/null",
                             &sblkid),
              0);
    ASSERT_NE(sblkid.find("ID_FS_LABEL=velkaroot\n"), std::string::npos) << sblkid;
    std::string sanswer = udevadmprops(loop.device()) + sblkid;
    ASSERT_EQ(udevadmprops(loop.device()).find("ID_FS_"), std::string::npos);
    {
        velka_test::fake_tools fakes;
        fakes.add("udevadm", sanswer);
        velka_test::bind_mount bind(fakes.script_path("udevadm"), sreal);
        ASSERT_TRUE(bind.ok());
        ASSERT_EQ(udev(nullptr).create_entry(loop.device()), 0);
    }
    std::string sback = udevadmprops(loop.device());
    std::istringstream in(sanswer);
    for (std::string sprop; std::getline(in, sprop);)
        EXPECT_NE(sback.find(sprop + "\n"), std::string::npos) << sprop << " not in\n" << sback;
}

// A link under /dev whose name holds blanks and shell metacharacters: the numbers come from
// the node it points to, and udevadm receives the link's name as one argument. udevadm only
// takes names below /dev, so /dev is a tmpfs here holding a copy of the loop node.
TEST_F(UdevRoot, HostileLinkNameUsesItsTargetsNumbers) {
    velka_test::loop_device loop(8);
    ASSERT_TRUE(loop.ok());
    struct stat st;
    ASSERT_EQ(stat(loop.device().c_str(), &st), 0);
    velka_test::tempdir dir;
    velka_test::tmpfs_mount dev("/dev");
    ASSERT_TRUE(dev.ok());
    ASSERT_EQ(mknod(loop.device().c_str(), S_IFBLK | 0600, st.st_rdev), 0);
    ASSERT_EQ(mkdir("/dev/disk", 0755), 0);
    std::string slink = "/dev/disk/by id; touch pwned $(touch pwned2) 'q\"";
    ASSERT_EQ(symlink(loop.device().c_str(), slink.c_str()), 0);
    udev writer(nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(writer.create_entry(slink), 0);
    EXPECT_EQ(chdir("/"), 0);
    EXPECT_FALSE(utilities::isfile(dir / "pwned"));
    EXPECT_FALSE(utilities::isfile(dir / "pwned2"));
    std::string sentry = velka_test::slurp(entryof(loop.device()));
    EXPECT_NE(sentry.find("DEVNAME=" + loop.device() + "\n"), std::string::npos) << sentry;
}

TEST_F(UdevRoot, NotABlockDeviceOrAnOption) {
    velka_test::tempdir dir;
    velka_test::spew(dir / "plain", "x");
    logcapture log;
    udev writer(log.src());
    EXPECT_EQ(writer.create_entry(dir / "plain"), -1);
    EXPECT_EQ(writer.create_entry(dir / "missing"), -1);
    EXPECT_EQ(writer.create_entry("-x"), -1);
    EXPECT_TRUE(
        log.has(msg("udev", "udev::create_entry", "Is not a block device : " + dir / "plain")));
    EXPECT_TRUE(
        log.has(msg("udev", "udev::create_entry", "Is not a block device : " + dir / "missing")));
    EXPECT_EQ(log.count_containing("-x refused: value begins with '-'"), 1u);
}

// udevadm that runs but prints nothing, and no udevadm at all: no entry file, -1, and a later
// call with a working udevadm still writes the entry.
TEST_F(UdevRoot, SilentOrMissingUdevadmLeavesNoEntry) {
    velka_test::loop_device loop(8);
    ASSERT_TRUE(loop.ok());
    std::string sreal = udev::udevadmpath();
    ASSERT_EQ(sreal.compare(0, 1, "/"), 0);
    std::string sentry = entryof(loop.device());
    logcapture log;
    udev writer(log.src());
    {
        velka_test::fake_tools fakes;
        fakes.add("udevadm", "", 1, "Unknown device\n");
        velka_test::bind_mount bind(fakes.script_path("udevadm"), sreal);
        ASSERT_TRUE(bind.ok());
        EXPECT_EQ(writer.create_entry(loop.device()), -1);
        EXPECT_FALSE(utilities::isfile(sentry));
        EXPECT_EQ(fakes.calls().size(), 1u);
    }
    {
        // A file without execute permission over the program: none is found and the shell's
        // "udevadm" fails.
        velka_test::tempdir dir;
        velka_test::spew(dir / "udevadm", "", 0644);
        velka_test::bind_mount bind(dir / "udevadm", sreal);
        ASSERT_TRUE(bind.ok());
        velka_test::fake_tools nothing;  // an empty directory first on PATH
        std::string soldpath = getenv("PATH");
        setenv("PATH", nothing.dir().c_str(), 1);
        EXPECT_EQ(udev::udevadmpath(), sreal == "/sbin/udevadm" ? "/usr/bin/udevadm" : "udevadm");
        if (udev::udevadmpath() == "udevadm") {
            EXPECT_EQ(writer.create_entry(loop.device()), -1);
            EXPECT_FALSE(utilities::isfile(sentry));
        }
        setenv("PATH", soldpath.c_str(), 1);
    }
    EXPECT_EQ(log.count_containing("Failed to extract output of command " + sreal +
                                   " info --query=property --name " + loop.device()),
              1u);
    EXPECT_EQ(writer.create_entry(loop.device()), 0);
    EXPECT_TRUE(utilities::isfile(sentry));
}
