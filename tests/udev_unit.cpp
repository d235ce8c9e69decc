// udev entry lines from udevadm's output and the choice of the udevadm program, without
// creating the database directory (constructing a writer needs the root tier's namespace).
#include <list>
#include <string>

#include <gtest/gtest.h>

#include <velka/udev>

#include "velka_test.h"

using velka::udev::udev;

TEST(Udev, EntryLinesAreTrimmedAndKeptInOrder) {
    std::list<std::string> lout = {"DEVNAME=/dev/loop3\r", "\t MAJOR=7 ", "", "MINOR=3\n"};
    std::list<std::string> lentry;
    ASSERT_EQ(udev::entrylines(lout, lentry), 0);
    EXPECT_EQ(lentry, (std::list<std::string>{"DEVNAME=/dev/loop3", "MAJOR=7", "", "MINOR=3"}));
}

TEST(Udev, OutputWithoutAPropertyGivesNoEntry) {
    std::list<std::string> lentry = {"stale"};
    EXPECT_EQ(udev::entrylines({}, lentry), -1);
    EXPECT_TRUE(lentry.empty());
    EXPECT_EQ(udev::entrylines({"", " \t", "\r\n"}, lentry), -1);
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
