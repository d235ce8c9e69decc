// Command and file helpers against real devices and fixed paths, inside the test's private
// mount namespace.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <velka/archiver>
#include <velka/cfgfile>
#include <velka/fs>
#include <velka/lasterror>
#include <velka/scsi>
#include <velka/utilities>

#include "velka_test.h"

using velka::utilities::utilities;

TEST(Root_Utilities, LoopDeviceIsABlockDeviceWithItsNumbers) {
    VELKA_REQUIRE_ROOT();
    VELKA_REQUIRE_TOOL("losetup");
    velka_test::loop_device loop(8);
    ASSERT_TRUE(loop.ok());
    struct stat st;
    ASSERT_EQ(stat(loop.device().c_str(), &st), 0);
    int imaj = -1, imin = -1;
    EXPECT_TRUE(utilities::isblkdev(loop.device()));
    ASSERT_TRUE(utilities::isblkdev(loop.device(), imaj, imin));
    EXPECT_EQ(imaj, 7);  // loop devices have major number 7
    EXPECT_EQ(imin, static_cast<int>(minor(st.st_rdev)));
    // The kernel's own view of the device, through sysfs.
    std::string sname = loop.device().substr(loop.device().rfind('/') + 1);
    EXPECT_EQ(utilities::read("/sys/block/" + sname + "/dev"),
              std::to_string(imaj) + ":" + std::to_string(imin));
    EXPECT_EQ(utilities::read("/sys/block/" + sname + "/size"), "16384");
    EXPECT_FALSE(utilities::isdir(loop.device()));
    EXPECT_FALSE(utilities::isfile(loop.device()));
    EXPECT_EQ(utilities::filesize(loop.device()), -1);
}

TEST(Root_Utilities, RuncmdHoldsWhileTheDebugFileExists) {
    VELKA_REQUIRE_ROOT();
    // /tmp is a tmpfs of this test only, so the hold file never appears on the host.
    velka_test::tmpfs_mount tmp("/tmp");
    ASSERT_TRUE(tmp.ok());
    velka_test::spew("/tmp/runcmd.debug", "");
    std::atomic<bool> bdone(false);
    int istatus = -2;
    std::thread runner([&] {
        std::string sprog = "/bin/sh";
        std::vector<std::string> args = {"-c", "echo ran > /tmp/ran; exit 4"};
        istatus = utilities::runcmd(sprog, args);
        bdone = true;
    });
    // While held, the program has not run. Checked after the child has had several chances
    // to poll the hold file.
    utilities::millisleep(2500);
    EXPECT_FALSE(bdone.load());
    EXPECT_FALSE(utilities::isfile("/tmp/ran"));
    ASSERT_EQ(unlink("/tmp/runcmd.debug"), 0);
    runner.join();
    EXPECT_TRUE(bdone.load());
    EXPECT_EQ(istatus, 4 << 8);
    EXPECT_EQ(utilities::read("/tmp/ran"), "ran");
}

// Any user can create /tmp/runcmd.debug: a symbolic link or a hard link to a root file, a file
// of another owner or a directory must not hold a root caller.
TEST(Root_Utilities, RuncmdIgnoresAHoldFileAnyUserCouldMake) {
    VELKA_REQUIRE_ROOT();
    velka_test::tmpfs_mount tmp("/tmp");
    ASSERT_TRUE(tmp.ok());
    velka_test::spew("/tmp/target", "");
    for (const char* smake :
         {"ln -s /tmp/target /tmp/runcmd.debug", "ln /tmp/target /tmp/runcmd.debug",
          "touch /tmp/runcmd.debug && chown 65534 /tmp/runcmd.debug", "mkdir /tmp/runcmd.debug"}) {
        SCOPED_TRACE(smake);
        ASSERT_EQ(velka_test::sh(std::string("rm -rf /tmp/runcmd.debug && ") + smake), 0);
        // In a child of its own, ended by an alarm if it is held.
        int istatus = velka_test::run_in_child([] {
            alarm(20);
            std::vector<std::string> args = {"-c", "exit 3"};
            return WEXITSTATUS(utilities::runcmd("/bin/sh", args));
        });
        EXPECT_TRUE(WIFEXITED(istatus) && WEXITSTATUS(istatus) == 3) << istatus;
    }
    velka_test::sh("rm -rf /tmp/runcmd.debug");
}

TEST(Root_Utilities, ConcurrentCommandsKeepTheirOwnOutput) {
    // Several threads run commands at once (as the archiver does): each gets exactly its own
    // output and its end of file, never another command's.
    std::vector<std::thread> lthreads;
    std::atomic<int> ibad(0);
    for (int t = 0; t < 6; ++t) {
        lthreads.emplace_back([t, &ibad] {
            for (int i = 0; i < 20; ++i) {
                std::string sout, serr;
                std::string stag = std::to_string(t) + "-" + std::to_string(i);
                if (utilities::system("echo " + stag + "; echo e" + stag + " >&2", sout, serr) !=
                        0 ||
                    sout != stag + "\n" || serr != "e" + stag + "\n")
                    ++ibad;
                std::list<std::string> l;
                if (utilities::popen("echo " + stag, l, 0) != 0 || l.size() != 1 ||
                    l.front() != stag)
                    ++ibad;
            }
        });
    }
    for (auto& th : lthreads) th.join();
    EXPECT_EQ(ibad.load(), 0);
}

// What a program reads after a failed call of several modules: the operation, what failed
// (the command line, the system call and its path, the refused value), the exit status or
// errno, and the tool's standard error.
TEST(Root_LastError, EachFailureTellsWhatFailedAndWhy) {
    VELKA_REQUIRE_ROOT();
    VELKA_REQUIRE_TOOL("losetup");
    velka_test::tempdir dir;
    velka_test::loop_device loop(8);
    ASSERT_TRUE(loop.ok());
    const std::string sfile = dir / "plain";
    ASSERT_EQ(utilities::write(sfile, "x"), 0);
    velka::fs::fs fs(nullptr);
    velka_test::fake_tools fakes;
    fakes.add("mkfs", "", 1, "mkfs: bad superblock\nline 2\n");
    fakes.add("tar", "", 2, "tar: a.tgz: Cannot open\n");
    ASSERT_EQ(utilities::write(dir / "list", "a.tgz out"), 0);
    const std::string spath = getenv("PATH");
    struct row {
        const char* sname;
        std::function<void()> fcall;
        std::string sfunction, swhat;
        int istatus, ierrno;
        std::string serr;
    } rows[] = {
        {"missing tool",
         [&] {
             setenv("PATH", dir.path().c_str(), 1);
             EXPECT_EQ(fs.mkfs(sfile, "ext4"), -1);
             setenv("PATH", spath.c_str(), 1);
         },
         "fs::mkfs", "echo y | mkfs -t ext4 " + sfile, 127, 0, "sh: 1: mkfs: not found\n"},
        {"tool failing", [&] { EXPECT_EQ(fs.mkfs(sfile, "ext4"), -1); }, "fs::mkfs",
         "echo y | mkfs -t ext4 " + sfile, 1, 0, "mkfs: bad superblock\nline 2\n"},
        {"system call", [&] { EXPECT_EQ(fs.mkdir(sfile + "/sub", 0755), -1); }, "fs::mkdir",
         "mkdir " + sfile + "/sub", -1, ENOTDIR, ""},
        {"SG_IO on a plain file",
         [&] {
             velka::scsi::sgdev sg(nullptr);
             ASSERT_EQ(sg.open(sfile), 0);
             unsigned char cdb[6] = {0x12, 0, 0, 0, 36, 0}, data[36];
             EXPECT_THROW(sg.sgio(cdb, 6, data, 36, false, nullptr, 0, 1000),
                          velka::exception::exception);
         },
         "sgdev::sgio", "SG_IO " + sfile, -1, ENOTTY, ""},
        {"device in use",
         [&] {
             int ifd = open(loop.device().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
             EXPECT_EQ(fs.mkfs(loop.device(), "xfs"), -1);
             close(ifd);
         },
         "fs::mkfs", loop.device(), -1, 0, ""},
        {"tar failing in a worker thread",
         [&] {
             EXPECT_EQ(velka::archiver::archiver(nullptr).extractgziparchive(dir / "list"), -1);
         },
         "archiver::extractgziparchive",
         "tar --force-local --acls --xattrs --warning=none -p -zxf a.tgz -C out", 2, 0,
         "tar: a.tgz: Cannot open\n"},
        {"settings refused",
         [&] {
             EXPECT_EQ(velka::cfgfile::cfgfile(dir / "cfg", nullptr).setstring("a", "b c"), -1);
         },
         "cfgfile::setstring", "a", -1, 0, ""},
    };
    // A thread that has had no failure has an empty record, and nothing to show.
    std::thread([] {
        EXPECT_TRUE(velka::last_error().empty());
        EXPECT_EQ(velka::last_error().tostr(), "");
    }).join();
    for (auto& r : rows) {
        SCOPED_TRACE(r.sname);
        r.fcall();
        velka::failure f = velka::last_error();
        EXPECT_EQ(f.m_sfunction, r.sfunction);
        EXPECT_EQ(f.m_swhat, r.swhat);
        EXPECT_EQ(f.m_istatus, r.istatus);
        EXPECT_EQ(f.m_ierrno, r.ierrno);
        EXPECT_EQ(f.m_serr, r.serr);
        EXPECT_FALSE(f.m_smessage.empty());
        // A call that succeeds leaves the record alone.
        EXPECT_EQ(fs.mkdir(dir / r.sname, 0755), 0);
        EXPECT_EQ(velka::last_error().m_smessage, f.m_smessage);
    }
}
