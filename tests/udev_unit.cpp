// udev entry lines from udevadm's output and the choice of the udevadm program, without
// creating the database directory (constructing a writer needs the root tier's namespace).
#include <list>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <velka/udev>
#include <velka/utilities>

#include "internal/udev.h"

#include "velka_test.h"

using velka::udev::udev;

TEST(Udev, EntryLinesAreUdevDatabasePropertiesInOrder) {
    std::list<std::string> lout = {
        "DEVNAME=/dev/loop3\r",    "\t MAJOR=7 ", "", "MINOR=3\n", "=x", "no property", "A B=c",
        "ID_MODEL_ENC=QEMU\\x20HD"};
    std::list<std::string> lentry;
    ASSERT_EQ(velka::udev::entrylines(lout, lentry), 0);
    EXPECT_EQ(lentry, (std::list<std::string>{"E:DEVNAME=/dev/loop3", "E:MAJOR=7", "E:MINOR=3",
                                              "E:ID_MODEL_ENC=QEMU\\x20HD"}));
}

// `udevadm info` dumps of real disks (Proxmox storage tests): their "E: " lines are what
// --query=property prints without the prefix; the entry holds exactly those, as "E:" lines.
TEST(Udev, EntriesOfRealDiskDumps) {
    std::list<std::string> lfiles;
    ASSERT_EQ(velka::utilities::utilities::readdir(velka_test::fixture("udev"), lfiles), 0);
    size_t udumps = 0;
    for (const std::string& sfile : lfiles) {
        if (sfile.compare(0, 5, "pve__") != 0) continue;
        SCOPED_TRACE(sfile);
        ++udumps;
        std::istringstream in(velka_test::slurp(velka_test::fixture("udev/" + sfile)));
        std::list<std::string> lproperty, lexpected, lentry;
        for (std::string s; std::getline(in, s);) {
            if (s.compare(0, 3, "E: ") != 0) continue;
            lproperty.push_back(s.substr(3));
            lexpected.push_back("E:" + s.substr(3));
        }
        ASSERT_FALSE(lproperty.empty());
        ASSERT_EQ(velka::udev::entrylines(lproperty, lentry), 0);
        EXPECT_EQ(lentry, lexpected);
    }
    EXPECT_EQ(udumps, 13u);
}

TEST(Udev, OutputWithoutAPropertyGivesNoEntry) {
    std::list<std::string> lentry = {"stale"};
    EXPECT_EQ(velka::udev::entrylines({}, lentry), -1);
    EXPECT_TRUE(lentry.empty());
    EXPECT_EQ(velka::udev::entrylines({"", " \t", "\r\n"}, lentry), -1);
    EXPECT_TRUE(lentry.empty());
}

TEST(Udev, UdevadmFromTheSystemDirectories) {
    std::string s = udev::udevadmpath();
    if (velka_test::have_tool("/sbin/udevadm"))
        EXPECT_EQ(s, "/sbin/udevadm");
    else if (velka_test::have_tool("/usr/bin/udevadm"))
        EXPECT_EQ(s, "/usr/bin/udevadm");
    else
        EXPECT_TRUE(s == "/bin/udevadm" || s == "udevadm") << s;
}
