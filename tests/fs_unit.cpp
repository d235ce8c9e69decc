// Filesystem, swap, directory, link and attribute operations without root: command lines
// checked through fake tools (their arguments journaled as received) and the log, parsing of
// captured tool output by the real awk, cut, tr and grep, directories and links in a
// temporary directory, and user attributes.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <list>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/fs>
#include <velka/logger>
#include <velka/utilities>

#include "mounts_log.h"
#include "velka_test.h"

using mounts_test::logcapture;
using mounts_test::msg;
using velka_test::fake_tools;
using velka_test::tempdir;

namespace {

std::vector<std::string> args(std::initializer_list<std::string> l) {
    return std::vector<std::string>(l);
}

bool exists(const std::string& spath) {
    struct stat st;
    return lstat(spath.c_str(), &st) == 0;
}

}  // namespace

// ---- Command lines ----

TEST(Unit_FsCommands, PlainValuesGiveTheFixedCommandLines) {
    fake_tools fakes;
    for (auto name : {"mkfs", "mount", "umount", "mkswap", "swapon"}) fakes.add(name, "");
    logcapture log;
    velka::fs::fs fsys(log.src());
    const std::list<std::string> lopts{"rw", "", "noatime"};

    EXPECT_EQ(fsys.mkfs("/dev/sdb1", "xfs"), 0);
    EXPECT_EQ(fsys.mkfs("/dev/sdb1", "ext4"), 0);
    EXPECT_EQ(fsys.mkfs("/dev/sdb1", "XFS"), 0);  // the xfs options only for "xfs" exactly
    EXPECT_EQ(fsys.mount("/dev/sdb1", "/mnt/disk1", "xfs", lopts), 0);
    EXPECT_EQ(fsys.mount("/dev/sdb1", "/mnt/disk1", "xfs", {}), 0);  // a temporary list
    EXPECT_EQ(fsys.umount("/mnt/disk1"), 0);
    EXPECT_EQ(fsys.createswapdevice("/dev/sdc2"), 0);
    EXPECT_EQ(fsys.activateswapdevice("/dev/sdc2"), 0);

    auto lcalls = fakes.argvs();
    ASSERT_EQ(lcalls.size(), 8u);
    EXPECT_EQ(lcalls[0], args({"-t", "xfs", "-i", "size=512", "-f", "/dev/sdb1"}));
    EXPECT_EQ(lcalls[1], args({"-t", "ext4", "/dev/sdb1"}));
    EXPECT_EQ(lcalls[2], args({"-t", "XFS", "/dev/sdb1"}));
    EXPECT_EQ(lcalls[3], args({"-t", "xfs", "-o", "rw,noatime", "/dev/sdb1", "/mnt/disk1"}));
    // An empty option list stays an (empty) option text; the device is not taken for it.
    EXPECT_EQ(lcalls[4], args({"-t", "xfs", "-o", "", "/dev/sdb1", "/mnt/disk1"}));
    EXPECT_EQ(lcalls[5], args({"/mnt/disk1"}));
    EXPECT_EQ(lcalls[6], args({"/dev/sdc2"}));
    EXPECT_EQ(lcalls[7], args({"/dev/sdc2"}));

    EXPECT_EQ(log.messages(),
              std::vector<std::string>({
                  msg("fs", "fs::mkfs", "Request to create xfs on /dev/sdb1"),
                  msg("fs", "fs::mkfs",
                      "Filesystem will be created using command echo y | mkfs -t xfs -i size=512 "
                      "-f /dev/sdb1"),
                  msg("fs", "fs::mkfs", "Request to create ext4 on /dev/sdb1"),
                  msg("fs", "fs::mkfs",
                      "Filesystem will be created using command echo y | mkfs -t ext4 /dev/sdb1"),
                  msg("fs", "fs::mkfs", "Request to create XFS on /dev/sdb1"),
                  msg("fs", "fs::mkfs",
                      "Filesystem will be created using command echo y | mkfs -t XFS /dev/sdb1"),
                  msg("fs", "fs::createarglist", "Created file system argument: rw,noatime"),
                  msg("fs", "fs::mount",
                      "File system will be mounted using command mount -t xfs -o rw,noatime "
                      "/dev/sdb1 /mnt/disk1"),
                  msg("fs", "fs::createarglist", "Created file system argument: "),
                  msg("fs", "fs::mount",
                      "File system will be mounted using command mount -t xfs -o '' /dev/sdb1 "
                      "/mnt/disk1"),
                  msg("fs", "fs::umount",
                      "File system will be unmounted using command umount /mnt/disk1"),
                  msg("fs", "fs::createswapdevice",
                      "swap device will be created using command mkswap  /dev/sdc2"),
                  msg("fs", "fs::activateswapdevice",
                      "swap device will be activated using command swapon  /dev/sdc2"),
              }));
}

TEST(Unit_FsCommands, MkfsAnswersYesOnStandardInput) {
    fake_tools fakes;
    tempdir dir;
    fakes.add_script("mkfs",
                     "cat > " + velka::utilities::utilities::shellquote(dir / "stdin") + "\n");
    velka::fs::fs fsys(nullptr);
    EXPECT_EQ(fsys.mkfs("/dev/sdb1", "ext4"), 0);
    EXPECT_EQ(velka_test::slurp(dir / "stdin"), "y\n");
}

TEST(Unit_FsCommands, FailuresReturnMinusOneAndLogTheToolsErrorText) {
    fake_tools fakes;
    fakes.add("mkfs", "", 1, "mkfs: no such device\n");
    fakes.add("mount", "", 32, "mount: /mnt/disk1: special device /dev/sdb1 does not exist.\n");
    fakes.add("umount", "", 32, "umount: /mnt/disk1: not mounted.\n");
    fakes.add("mkswap", "", 1, "mkswap: cannot open /dev/sdc2\n");
    fakes.add("swapon", "", 255, "swapon: /dev/sdc2: swapon failed: Device or resource busy\n");
    fakes.add("swaplabel", "", 1, "swaplabel: /dev/sdc2: not a valid swap partition\n");
    logcapture log;
    velka::fs::fs fsys(log.src());
    std::list<std::string> lopts{"rw"};
    EXPECT_EQ(fsys.mkfs("/dev/sdb1", "xfs"), -1);
    EXPECT_EQ(fsys.mount("/dev/sdb1", "/mnt/disk1", "xfs", lopts), -1);
    EXPECT_EQ(fsys.umount("/mnt/disk1"), -1);
    EXPECT_EQ(fsys.createswapdevice("/dev/sdc2"), -1);
    EXPECT_EQ(fsys.activateswapdevice("/dev/sdc2"), -1);
    // awk ends the pipeline and succeeds: the empty output makes the failure.
    EXPECT_EQ(fsys.getswapdevuuid("/dev/sdc2"), "");
    EXPECT_TRUE(log.has(msg("fs", "fs::getswapdevuuid",
                            "Failed to extract UUID from swap device /dev/sdc2 error: swaplabel: "
                            "/dev/sdc2: not a valid swap partition\n")));
    EXPECT_TRUE(log.has(msg("fs", "fs::mkfs",
                            "Format command echo y | mkfs -t xfs -i size=512 -f /dev/sdb1 failed "
                            "error: mkfs: no such device\n")));
    EXPECT_TRUE(log.has(msg("fs", "fs::mount",
                            "Mount command mount -t xfs -o rw /dev/sdb1 /mnt/disk1 failed error: "
                            "mount: /mnt/disk1: special device /dev/sdb1 does not exist.\n")));
    EXPECT_TRUE(log.has(msg("fs", "fs::activateswapdevice",
                            "Failed to activate swap device /dev/sdc2 error: swapon: /dev/sdc2: "
                            "swapon failed: Device or resource busy\n")));
}

TEST(Unit_FsCommands, HostileValuesReachTheToolsAsOneUnchangedArgument) {
    fake_tools fakes;
    for (auto name : {"mkfs", "mount", "umount", "mkswap", "swapon", "blkid", "xfs_admin",
                      "dumpe2fs", "swaplabel"})
        fakes.add(name, "");
    tempdir dir;
    std::string spwned = dir / "pwned";
    std::vector<std::string> lhostile{
        "/dev/a b",
        "$(touch " + spwned + ")",
        "`touch " + spwned + "`",
        "/dev/x;touch " + spwned,
        "/dev/x' ; touch " + spwned + " ; echo '",
        "dq\"x\\\"; touch " + spwned,
        "nl\ntouch " + spwned,
        "o-",
        "*",
        "x | touch " + spwned + " &",
    };
    velka::fs::fs fsys(nullptr);
    for (const auto& v : lhostile) {
        SCOPED_TRACE(v);
        size_t ubefore = fakes.argvs().size();
        std::list<std::string> lopts{v, "rw"};
        fsys.mkfs(v, v);
        fsys.mkfs(v, "xfs");
        fsys.mount(v, v, v, lopts);
        fsys.umount(v);
        fsys.createswapdevice(v);
        fsys.activateswapdevice(v);
        fsys.getfstype(v);
        fsys.getfsuuid(v, "xfs");
        fsys.getfsuuid(v, "ext4");
        fsys.getfsuuid(v, "vfat");
        fsys.getswapdevuuid(v);
        auto lcalls = fakes.argvs();
        ASSERT_EQ(lcalls.size(), ubefore + 11);
        auto it = lcalls.begin() + static_cast<long>(ubefore);
        EXPECT_EQ(*it++, args({"-t", v, v}));
        EXPECT_EQ(*it++, args({"-t", "xfs", "-i", "size=512", "-f", v}));
        EXPECT_EQ(*it++, args({"-t", v, "-o", v + ",rw", v, v}));
        EXPECT_EQ(*it++, args({v}));
        EXPECT_EQ(*it++, args({v}));
        EXPECT_EQ(*it++, args({v}));
        EXPECT_EQ(*it++, args({"-s", "TYPE", v}));
        EXPECT_EQ(*it++, args({"-u", v}));
        EXPECT_EQ(*it++, args({v}));
        EXPECT_EQ(*it++, args({"-s", "UUID", v}));
        EXPECT_EQ(*it++, args({v}));
    }
    EXPECT_FALSE(exists(spwned));
}

// A value that begins with "-" would be read by the tool as an option whatever the quoting:
// every operation refuses it as an operand before anything runs, and names it in the log.
// As the argument of an option (-t TYPE, -o OPTIONS) it is only data.
TEST(Unit_FsCommands, OperandsThatBeginWithADashRunNothing) {
    fake_tools fakes;
    for (auto name : {"mkfs", "mount", "umount", "mkswap", "swapon", "blkid", "xfs_admin",
                      "dumpe2fs", "swaplabel"})
        fakes.add(name, "");
    size_t ucalls = 0;  // the calls made with the value as an option's argument only
    for (std::string v : {"-a", "--all", "-", "-o"}) {
        SCOPED_TRACE(v);
        logcapture log;
        velka::fs::fs fsys(log.src());
        std::list<std::string> lopts{"rw"};
        EXPECT_EQ(fsys.mkfs(v, "xfs"), -1);
        EXPECT_EQ(fsys.mount(v, "/mnt/disk1", "xfs", lopts), -1);
        EXPECT_EQ(fsys.mount("/dev/sdb1", v, "xfs", lopts), -1);
        EXPECT_EQ(fsys.umount(v), -1);
        EXPECT_EQ(fsys.createswapdevice(v), -1);
        EXPECT_EQ(fsys.activateswapdevice(v), -1);
        EXPECT_EQ(fsys.getfstype(v), "");
        for (auto stype : {"xfs", "ext4", "vfat"}) EXPECT_EQ(fsys.getfsuuid(v, stype), "");
        EXPECT_EQ(fsys.getswapdevuuid(v), "");
        size_t ubefore = fakes.argvs().size();
        EXPECT_EQ(ubefore, ucalls);
        EXPECT_TRUE(log.has(msg(
            "fs", "fs::umount",
            "Refused value " + v + " error: it begins with '-' and would be read as an option")));
        std::list<std::string> lvopts{v};
        EXPECT_EQ(fsys.mkfs("/dev/sdb1", v), 0);
        EXPECT_EQ(fsys.mount("/dev/sdb1", "/mnt/disk1", v, lvopts), 0);
        auto lcalls = fakes.argvs();
        ASSERT_EQ(lcalls.size(), ubefore + 2);
        EXPECT_EQ(lcalls[ubefore], args({"-t", v, "/dev/sdb1"}));
        EXPECT_EQ(lcalls[ubefore + 1], args({"-t", v, "-o", v, "/dev/sdb1", "/mnt/disk1"}));
        ucalls += 2;
    }
}

// ---- Queries parsed from captured output ----

TEST(Unit_FsQueries, TypeAndUuidsAreParsedFromCapturedOutput) {
    fake_tools fakes;
    fakes.add_fixture("xfs_admin", "fs/xfs_admin-u.out");
    fakes.add_fixture("dumpe2fs", "fs/dumpe2fs-ext4.out");
    fakes.add_fixture("swaplabel", "fs/swaplabel.out");
    // blkid answers like the real tool: the full tag list, or the one tag asked for.
    fakes.add_script("blkid",
                     "case \"$1 $2\" in\n"
                     "'-s TYPE') cat '" +
                         velka_test::fixture("fs/blkid-s-TYPE-xfs.out") +
                         "' ;;\n"
                         "'-s UUID') cat '" +
                         velka_test::fixture("fs/blkid-s-UUID-vfat-labelled.out") +
                         "' ;;\n"
                         "*) cat '" +
                         velka_test::fixture("fs/blkid-vfat-labelled.out") + "' ;;\nesac\n");
    logcapture log;
    velka::fs::fs fsys(log.src());
    EXPECT_EQ(fsys.getfstype("/dev/sdb1"), "xfs");
    EXPECT_EQ(fsys.getfsuuid("/dev/sdb1", "xfs"), "cc326d0d-df14-4b1f-b889-1a4377008e2f");
    EXPECT_EQ(fsys.getfsuuid("/dev/sdb1", "ext4"), "aeb087d4-35df-4365-9466-89c5f43b7a2e");
    // A labelled FAT16 lists SEC_TYPE and LABEL before its UUID.
    EXPECT_EQ(fsys.getfsuuid("/dev/sdb1", "vfat"), "796A-C753");
    EXPECT_EQ(fsys.getfsuuid("/dev/sdb1", "fat"), "796A-C753");
    // The swap UUID keeps the tool's line end.
    EXPECT_EQ(fsys.getswapdevuuid("/dev/sdc2"), "0f5beb7d-ddb0-4d4f-8d14-a0f87176cc92\n");
    size_t ucalls = fakes.argvs().size();
    // Unknown types (and the type compared exactly) run nothing and give nothing.
    EXPECT_EQ(fsys.getfsuuid("/dev/sdb1", "ext3"), "");
    EXPECT_EQ(fsys.getfsuuid("/dev/sdb1", "XFS"), "");
    EXPECT_EQ(fakes.argvs().size(), ucalls);

    EXPECT_TRUE(log.has(msg("fs", "fs::getfstype",
                            "Filesystem type will be extracted using command blkid -s TYPE "
                            "/dev/sdb1 | awk '{print $2}' | cut -f 2 -d '=' | tr -d '\"'")));
    EXPECT_TRUE(log.has(msg("fs", "fs::getfstype", "Filesystem type xfs\n")));
    EXPECT_TRUE(log.has(msg("fs", "fs::getfsuuid",
                            "UUID will be extracted using command blkid -s UUID /dev/sdb1 | awk "
                            "'{print $2}' | cut -f 2 -d '=' | tr -d '\"'")));
    EXPECT_TRUE(log.has(msg("fs", "fs::getswapdevuuid",
                            "UUID of swap device will be extracted using command swaplabel "
                            "/dev/sdc2 | awk '{print $2}'")));
    EXPECT_TRUE(log.has(msg("fs", "fs::getfsuuid", "UUID will be extracted using command ")));
    EXPECT_TRUE(log.has(
        msg("fs", "fs::getfsuuid", "Failed to extract UUID error: no value in the output \"\"")));
}

// The shell returns the last stage's status: output that is not one word is the failure,
// logged with the first tool's error text.
TEST(Unit_FsQueries, ToolsThatFindNothingGiveEmptyTextsAndALoggedFailure) {
    fake_tools fakes;
    fakes.add_fixture("blkid", "fs/empty.out", 2);
    std::string sxfserr = velka_test::slurp(velka_test::fixture("fs/xfs_admin-not-xfs.err"));
    fakes.add("xfs_admin", "", 1, sxfserr);
    fakes.add_fixture("swaplabel", "fs/swaplabel-labelled.out");
    logcapture log;
    velka::fs::fs fsys(log.src());
    const std::string snone = "no value in the output \"\"";
    std::vector<std::pair<std::string, std::string>> cases = {
        {fsys.getfstype("/dev/sdz"),
         "fs::getfstype( )  Failed to extract filesystem type, error: " + snone},
        {fsys.getfsuuid("/dev/sdz", "xfs"),
         "fs::getfsuuid( )  Failed to extract UUID error: " + sxfserr},
        {fsys.getfsuuid("/dev/sdz", "vfat"),
         "fs::getfsuuid( )  Failed to extract UUID error: " + snone},
        // A labelled swap area: its label and its UUID.
        {fsys.getswapdevuuid("/dev/sdc2"),
         "fs::getswapdevuuid( )  Failed to extract UUID from swap device /dev/sdc2 error: "
         "no value in the output \"swap1\n0f5beb7d-ddb0-4d4f-8d14-a0f87176cc92\""}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.first, "");
        EXPECT_TRUE(log.has("fs::" + c.second)) << c.second;
    }
}

// ---- Directories and links ----

TEST(Unit_FsDirs, MkdirRCreatesWhatIsMissingAndStopsAtAFile) {
    tempdir dir;
    logcapture log;
    velka::fs::fs fsys(log.src());
    // Doubled and trailing slashes are ignored.
    EXPECT_EQ(fsys.mkdir_r(dir.path() + "//a///b/c/", 0755), 0);
    EXPECT_TRUE(velka::utilities::utilities::isdir(dir / "a/b/c"));
    // A complete path creates nothing.
    EXPECT_EQ(fsys.mkdir_r(dir / "a/b/c", 0755), 0);
    EXPECT_EQ(fsys.mkdir_r("/", 0755), 0);
    EXPECT_EQ(fsys.mkdir_r("", 0755), 0);
    // A component that is a file stops the walk before anything is created.
    velka_test::spew(dir / "f", "x");
    EXPECT_EQ(fsys.mkdir_r(dir / "f/x/y", 0755), -1);
    EXPECT_FALSE(exists(dir / "f/x"));
    EXPECT_EQ(fsys.mkdir(dir / "a", 0755), -1);

    auto lmsgs = log.messages();
    EXPECT_TRUE(
        log.has(msg("fs", "fs::mkdir_r", "path /" + dir.path() + "/f is not a valid directory")));
    EXPECT_TRUE(log.has(msg("fs", "fs::mkdir",
                            "Failed to create directory " + (dir / "a") + " error: File exists")));
    // Only the failures logged: the successful walks are silent.
    EXPECT_EQ(lmsgs.size(), 2u);
}

TEST(Unit_FsDirs, MkdirRLogsTheComponentItCannotCreate) {
    tempdir dir;
    ASSERT_EQ(::mkdir((dir / "ro").c_str(), 0555), 0);
    logcapture log;
    velka::fs::fs fsys(log.src());
    // Root may write into a read-only directory; /proc refuses everyone.
    std::string sparent = velka_test::is_root() ? "/proc" : dir / "ro";
    EXPECT_EQ(fsys.mkdir_r(sparent + "/velka-x/y", 0755), -1);
    EXPECT_EQ(log.count_containing("fs::fs::mkdir( )  Failed to create directory /" + sparent +
                                   "/velka-x error: "),
              1u);
    EXPECT_TRUE(log.has(msg("fs", "fs::mkdir_r", "failed to create /" + sparent + "/velka-x")));
}

TEST(Unit_FsDirs, SymlinkCreatesOnceAndLogsBothOutcomes) {
    tempdir dir;
    logcapture log;
    velka::fs::fs fsys(log.src());
    std::string starget = "../target with 'quotes' and $(x)";
    EXPECT_EQ(fsys.symlink(starget, dir / "link"), 0);
    char buf[256] = {0};
    ASSERT_GT(readlink((dir / "link").c_str(), buf, sizeof(buf) - 1), 0);
    EXPECT_EQ(std::string(buf), starget);
    EXPECT_EQ(fsys.symlink("/elsewhere", dir / "link"), -1);
    EXPECT_EQ(fsys.symlink("/elsewhere", dir / "missing/link"), -1);
    EXPECT_TRUE(log.has(
        msg("fs", "fs::symlink",
            "Successfully created symbolic link " + (dir / "link") + " pointing to " + starget)));
    EXPECT_TRUE(log.has(
        msg("fs", "fs::symlink",
            "failed to create symbolic link " + (dir / "link") + " pointing to /elsewhere")));
}

// ---- Extended attributes ----

TEST(Unit_FsXattr, ValuesRoundTripAsBytes) {
    tempdir dir;
    std::string sfile = dir / "f";
    velka_test::spew(sfile, "");
    if (setxattr(sfile.c_str(), "user.velka.probe", "", 0, 0) != 0)
        GTEST_SKIP() << "user attributes not supported in " << dir.path();
    logcapture log;
    velka::fs::fs fsys(log.src());
    std::string sbinary("a\0b\nc", 5);
    EXPECT_EQ(fsys.setextendedattribute(sfile, "user.velka.bin", sbinary), 0);
    std::string sval = "old";
    EXPECT_EQ(fsys.getextendedattribute(sfile, "user.velka.bin", sval), 5);
    EXPECT_EQ(sval, sbinary);
    // An empty value is stored and read back as empty.
    EXPECT_EQ(fsys.setextendedattribute(sfile, "user.velka.empty", ""), 0);
    EXPECT_EQ(fsys.getextendedattribute(sfile, "user.velka.empty", sval), 0);
    EXPECT_EQ(sval, "");
    // A missing attribute or file leaves the value alone.
    sval = "kept";
    EXPECT_EQ(fsys.getextendedattribute(sfile, "user.velka.none", sval), -1);
    EXPECT_EQ(sval, "kept");
    EXPECT_EQ(fsys.setextendedattribute(dir / "missing", "user.velka.x", "v"), -1);
    EXPECT_EQ(fsys.getextendedattribute(sfile, "", sval), -1);
    EXPECT_EQ(sval, "kept");

    EXPECT_TRUE(log.has(msg("fs", "fs::setextendedattribute",
                            "Succesfully created user.velka.bin attribute on file " + sfile)));
    EXPECT_TRUE(log.has(msg("fs", "fs::getextendedattribute",
                            "Succesfully extracted user.velka.bin attribute from file " + sfile)));
    EXPECT_TRUE(log.has(msg("fs", "fs::getextendedattribute",
                            "Failed to extract user.velka.none attribute from file " + sfile +
                                "error: No data available")));
    EXPECT_TRUE(log.has(msg("fs", "fs::setextendedattribute",
                            "Failed to create user.velka.x attribute on file " + (dir / "missing") +
                                "error: No such file or directory")));
}

// Library levels: an installer's steps with one failure among them. By default every line is
// ERR; with the opt-in only the failing step's lines are, the rest are INF, with the same texts.
TEST(Unit_FsLevels, WithLibraryLevelsOnlyFailuresAreErrors) {
    tempdir dir;
    fake_tools fakes;
    fakes.add("mkfs", "", 0);
    fakes.add("mount", "", 32, "mount: /data: wrong fs type\n");
    for (bool blevels : {false, true}) {
        SCOPED_TRACE(blevels);
        const std::string sn = std::to_string(blevels), slog = dir / (sn + ".log");
        {
            velka::logger::core core(256);
            core.add_sink(velka::logger::FILE_SINK, slog);
            core.set_library_levels(blevels);
            velka::logger::source src(&core, nullptr);
            velka::fs::fs fsys(&src);
            EXPECT_EQ(fsys.mkdir(dir / ("data" + sn), 0755), 0);
            EXPECT_EQ(fsys.mkfs(dir / "disk", "ext4"), 0);
            EXPECT_EQ(fsys.mount(dir / "disk", dir / ("data" + sn), "ext4", {"rw"}), -1);
            EXPECT_EQ(fsys.symlink(dir / ("data" + sn), dir / ("link" + sn)), 0);
            core.drain();
        }
        std::vector<std::string> lerr, linf;
        std::istringstream in(velka_test::slurp(slog));
        for (std::string sline; std::getline(in, sline);) {
            // pid, thread id, date and time, then the level.
            std::istringstream fields(sline);
            std::string spid, stid, sdate, stime, slevel;
            fields >> spid >> stid >> sdate >> stime >> slevel;
            (slevel == "ERR" ? lerr : linf).push_back(sline);
            EXPECT_TRUE(slevel == "ERR" || slevel == "INF") << sline;
        }
        ASSERT_EQ(lerr.size() + linf.size(), 6u);
        ASSERT_EQ(lerr.size(), blevels ? 1u : 6u);
        if (!blevels) continue;
        EXPECT_NE(lerr[0].find("fs::mount( )  Mount command mount"), std::string::npos) << lerr[0];
        EXPECT_NE(lerr[0].find("wrong fs type"), std::string::npos);
    }
}
