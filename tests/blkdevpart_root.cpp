// Partition tables with the real parted on loop devices that the kernel scans for partitions
// (losetup -P), in the test binary's private mount namespace with a tmpfs over /run, so the
// udev entries land in a database of the test's own: wiping the first sector, gpt and msdos
// labels, named partitions, flags, the listing compared field by field with
// `parted -s -m DEVICE unit B print`, the udev entries compared with udevadm, the exact
// command texts, hostile values and refused operands; GPT names that GPT cannot hold whole;
// destructive calls on a disk in use (a real mount and a real swap area).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/blkdev>
#include <velka/fs>
#include <velka/lvm>
#include <velka/udev>
#include <velka/utilities>

#include "logcapture.h"
#include "partedlisting.h"
#include "velka_test.h"

using velka::blkdev::blkdev;
using velka::blkdev::partitioninfo;
using velka::utilities::utilities;
using velka_test::expect_same_listing;
using velka_test::loop_device;
using velka_test::partedbytes;
using velka_test::sh;

namespace {

const char* const s_tag = "blkdev";

class Root_Partitions : public ::testing::Test {
protected:
    void SetUp() override {
        VELKA_REQUIRE_ROOT();
        VELKA_REQUIRE_TOOL("parted");
        m_prun.reset(new velka_test::tmpfs_mount("/run"));
        ASSERT_TRUE(m_prun->ok());
    }
    std::unique_ptr<velka_test::tmpfs_mount> m_prun;
};

// The udev entry of a node, and what udevadm says about the node (trimmed lines, each ending
// in a line feed, as the entry's "E:" lines).
std::string entry_of(const std::string& snode) {
    struct stat st;
    if (::stat(snode.c_str(), &st) != 0) return "<no node " + snode + ">";
    return velka_test::slurp("/run/udev/data/b" + utilities::itostr(major(st.st_rdev)) + ":" +
                             utilities::itostr(minor(st.st_rdev)));
}
std::string udevadm_of(const std::string& snode) {
    std::string sout;
    sh(velka::udev::udev::udevadmpath() + " info --query=property --name " +
           utilities::shellquote(snode),
       &sout);
    std::string sentry;
    std::string::size_type ipos = 0;
    while (ipos < sout.size()) {
        std::string::size_type iend = sout.find('\n', ipos);
        if (iend == std::string::npos) iend = sout.size();
        std::string sline = utilities::trim(sout.substr(ipos, iend - ipos));
        ipos = iend + 1;
        if (!sline.empty()) sentry += "E:" + sline + "\n";
    }
    return sentry;
}

// Every field of each partition, one string a partition.
std::vector<std::string> rows_of(const std::vector<partitioninfo>& vparts) {
    std::vector<std::string> vrows;
    for (const auto& p : vparts)
        vrows.push_back(utilities::itostr(p.m_partitionnum) + "|" + p.m_start + "|" + p.m_end +
                        "|" + p.m_size + "|" + p.m_fstype + "|" + p.m_name + "|" + p.m_flags);
    return vrows;
}

}  // namespace

TEST_F(Root_Partitions, ClearWipesExactlyTheFirstSector) {
    loop_device loop(8, true);
    ASSERT_TRUE(loop.ok());
    {
        int ifd = ::open(loop.device().c_str(), O_RDWR);
        ASSERT_GE(ifd, 0);
        std::vector<char> vfill(2048, '\xab');
        ASSERT_EQ(::pwrite(ifd, vfill.data(), vfill.size(), 0), 2048);
        ::close(ifd);
    }
    velka_test::logcapture log;
    blkdev rec(loop.device(), log.src());
    EXPECT_EQ(rec.clearpartitiontable(), 0);
    std::vector<unsigned char> vback(2048);
    int ifd = ::open(loop.device().c_str(), O_RDONLY | O_DIRECT);
    if (ifd < 0) ifd = ::open(loop.device().c_str(), O_RDONLY);
    ASSERT_GE(ifd, 0);
    void* pbuf = nullptr;
    ASSERT_EQ(posix_memalign(&pbuf, 4096, 4096), 0);
    ASSERT_EQ(::pread(ifd, pbuf, 2048, 0), 2048);
    ::close(ifd);
    memcpy(vback.data(), pbuf, 2048);
    free(pbuf);
    for (size_t i = 0; i < 2048; ++i) ASSERT_EQ(vback[i], i < 512 ? 0 : 0xab) << "byte " << i;
    EXPECT_TRUE(log.has(std::string(s_tag) + "::blkdev::clearpartitiontable( )  " +
                        "Successfully wiped partition table on block device " + loop.device()));
}

TEST_F(Root_Partitions, ClearOnAMissingDiskFailsWithTheSystemsReason) {
    velka_test::logcapture log;
    blkdev rec("/dev/velka-no-such-disk", log.src());
    EXPECT_EQ(rec.clearpartitiontable(), -1);
    EXPECT_TRUE(log.has(std::string(s_tag) + "::blkdev::clearpartitiontable( )  " +
                        "Failed to open block device /dev/velka-no-such-disk error: No such file "
                        "or directory"));
}

TEST_F(Root_Partitions, GptWithNamedPartitionsAndFlagsReadsBackLikeParted) {
    loop_device loop(64, true);
    ASSERT_TRUE(loop.ok());
    const std::string sdev = loop.device();
    velka_test::logcapture log;
    blkdev rec(sdev, log.src());
    ASSERT_EQ(rec.setlabel("gpt"), 0);
    ASSERT_EQ(rec.createpartition("1MiB", "9MiB", "EFI System Partition"), 0);
    ASSERT_EQ(rec.createpartition("9MiB", "17MiB", "bios"), 0);
    ASSERT_EQ(rec.createpartition("17MiB", "33MiB", "it's \"$(id)\"; x"), 0);
    ASSERT_EQ(rec.createpartition("33MiB", "100%", "data"), 0);
    EXPECT_EQ(rec.setpartitionflag(1, "boot"), 0);
    EXPECT_EQ(rec.setpartitionflag(1, "esp"), 0);
    EXPECT_EQ(rec.setpartitionflag(2, "bios_grub"), 0);
    EXPECT_EQ(rec.setpartitionflag(4, "lvm"), 0);
    EXPECT_NE(rec.setpartitionflag(9, "lvm"), 0);
    ASSERT_EQ(sh("mkfs.ext4 -q " + utilities::get_partition_name(sdev, 4)), 0);

    std::vector<partitioninfo> vparts;
    ASSERT_EQ(rec.extractpartitioninfo(vparts), 0);
    auto vbytes = partedbytes(sdev);
    ASSERT_EQ(vbytes.size(), 4u);
    expect_same_listing(vparts, vbytes);
    expect_same_listing(rec.extractpartitioninfo(), vbytes);
    EXPECT_EQ(vparts[0].m_name, "EFI System Partition");
    EXPECT_EQ(vparts[0].m_flags, "boot, esp");
    EXPECT_EQ(vparts[1].m_flags, "bios_grub");
    EXPECT_EQ(vparts[2].m_name, "it's \"$(id)\"; x");
    EXPECT_EQ(vparts[3].m_fstype, "ext4");
    EXPECT_EQ(vparts[3].m_flags, "lvm");

    // The disk and every partition have their entries, as udevadm describes the nodes.
    ASSERT_EQ(rec.createudeventry(), 0);
    std::vector<std::string> vnodes = {sdev};
    for (uint32_t i = 1; i <= 4; ++i) vnodes.push_back(utilities::get_partition_name(sdev, i));
    for (const auto& snode : vnodes) {
        std::string sentry = entry_of(snode);
        EXPECT_NE(sentry, "") << snode;
        EXPECT_EQ(sentry, udevadm_of(snode)) << snode;
        EXPECT_NE(sentry.find("DEVNAME=" + snode + "\n"), std::string::npos) << sentry;
    }
    // The exact command texts, doubled blanks included.
    std::string sfile = std::string(s_tag) + "::";
    EXPECT_TRUE(log.has(sfile + "blkdev::setlabel( )  Label gpt will be set on blkdev " + sdev +
                        " using command parted -s " + sdev + "  mklabel gpt"));
    EXPECT_TRUE(log.has(sfile + "blkdev::createpartition( )  GPT partition will be created on " +
                        "block device " + sdev + "using command parted -s " + sdev +
                        "  mkpart  bios  9MiB  17MiB"));
    EXPECT_TRUE(log.has(sfile + "blkdev::createpartition( )  GPT partition will be created on " +
                        "block device " + sdev + "using command parted -s " + sdev +
                        "  mkpart  '\"EFI System Partition\"'  1MiB  9MiB"));
    EXPECT_TRUE(log.has(sfile + "blkdev::markbiospartition( )  GPT partition will be marked with " +
                        "flag bios_grub on block device " + sdev + "using command parted -s " +
                        sdev + "  set  2  bios_grub  on"));
    EXPECT_TRUE(log.has(sfile + "blkdev::extractpartitioninfo( )  partition table will be " +
                        "extracted for " + sdev + " using command parted  -s -m " + sdev +
                        "  print 2>/dev/null"));
    EXPECT_GE(log.count_containing("Number: 1 Start: 1049kB End: "), 1u);
    EXPECT_TRUE(log.has(sfile + "blkdev::setlabel( )  Successfully set label label on block " +
                        "device " + sdev));
    EXPECT_EQ(log.count_containing("Failed to set flag on partition in block device " + sdev +
                                   " error: Error: Partition doesn't exist."),
              1u);
}

TEST_F(Root_Partitions, MsdosTableAndAWipeThatLeavesNoTableBehind) {
    loop_device loop(32, true);
    ASSERT_TRUE(loop.ok());
    const std::string sdev = loop.device();
    blkdev rec(sdev, nullptr);
    ASSERT_EQ(rec.setlabel("msdos"), 0);
    ASSERT_EQ(rec.createpartition("1MiB", "50%", "primary"), 0);
    ASSERT_EQ(rec.createpartition("50%", "100%", "primary"), 0);
    EXPECT_EQ(rec.setpartitionflag(1, "boot"), 0);
    EXPECT_EQ(rec.setpartitionflag(2, "lvm"), 0);
    std::vector<partitioninfo> vparts;
    ASSERT_EQ(rec.extractpartitioninfo(vparts), 0);
    expect_same_listing(vparts, partedbytes(sdev));
    ASSERT_EQ(vparts.size(), 2u);
    EXPECT_EQ(vparts[0].m_flags, "boot");
    EXPECT_EQ(vparts[1].m_flags, "lvm");

    // An msdos table lives in the first sector only: after the wipe there is none left.
    ASSERT_EQ(rec.clearpartitiontable(), 0);
    vparts.clear();
    EXPECT_EQ(rec.extractpartitioninfo(vparts), 0);
    EXPECT_TRUE(vparts.empty());
}

TEST_F(Root_Partitions, OperandsBeginningWithADashAreRefusedBeforeAnythingRuns) {
    velka_test::fake_tools fakes;
    fakes.add("parted", "", 0);
    velka_test::logcapture log;
    blkdev rec("/dev/sdx", log.src());
    EXPECT_EQ(rec.setlabel("-gpt"), -1);
    EXPECT_EQ(rec.createpartition("1MiB", "-1s", "data"), -1);
    EXPECT_EQ(rec.createpartition("-1MiB", "2MiB", "data"), -1);
    EXPECT_EQ(rec.createpartition("1MiB", "2MiB", "-data"), -1);
    EXPECT_EQ(rec.setpartitionflag(1, "--help"), -1);
    EXPECT_EQ(rec.setpartitionflag(-1, "lvm"), -1);
    EXPECT_EQ(rec.setpartitionflag(0, "lvm"), -1);
    EXPECT_TRUE(fakes.calls().empty());
    EXPECT_EQ(log.count_containing("refused: value begins with '-'"), 5u);
    EXPECT_EQ(log.count_containing("Partition number -1 refused: not a partition"), 1u);

    blkdev dashed("-dev", log.src());
    std::vector<partitioninfo> vparts;
    EXPECT_EQ(dashed.setlabel("gpt"), -1);
    EXPECT_EQ(dashed.createpartition("1MiB", "2MiB", "data"), -1);
    EXPECT_EQ(dashed.setpartitionflag(1, "lvm"), -1);
    EXPECT_EQ(dashed.extractpartitioninfo(vparts), -1);
    EXPECT_TRUE(fakes.calls().empty());
    EXPECT_TRUE(vparts.empty());
}

TEST_F(Root_Partitions, HostileValuesReachPartedAsOneWordEach) {
    velka_test::fake_tools fakes;
    fakes.add("parted", "", 0);
    blkdev rec("/dev/sd x;$(id)", nullptr);
    EXPECT_EQ(rec.setlabel("g;p$(id)t"), 0);
    EXPECT_EQ(rec.createpartition("1MiB;", "`id`", "a\"b c'd"), 0);
    EXPECT_EQ(rec.setpartitionflag(3, "lvm;$(id)"), 0);
    auto vargs = fakes.argvs();
    ASSERT_GE(vargs.size(), 3u);
    EXPECT_EQ(vargs[0],
              (std::vector<std::string>{"-s", "/dev/sd x;$(id)", "mklabel", "g;p$(id)t"}));
    EXPECT_EQ(vargs[1], (std::vector<std::string>{"-s", "/dev/sd x;$(id)", "mkpart",
                                                  "\"a\\\"b c'd\"", "1MiB;", "`id`"}));
    // createpartition lists the disk afterwards for the udev entries (the disk is no block
    // device here, so only when parted ran first); the flag call is the last.
    EXPECT_EQ(vargs.back(),
              (std::vector<std::string>{"-s", "/dev/sd x;$(id)", "set", "3", "lvm;$(id)", "on"}));
}

// parted splits its words again at blanks, honouring quotes and backslashes: every value
// that would become other words is refused before parted runs and leaves the table as it
// was, and every name is written as one word that parted keeps exactly.
TEST_F(Root_Partitions, PartedWordsAreRefusedOrKeptExactly) {
    loop_device loop(64, true);
    ASSERT_TRUE(loop.ok());
    velka_test::logcapture log;
    blkdev rec(loop.device(), log.src());
    ASSERT_EQ(rec.setlabel("gpt"), 0);
    ASSERT_EQ(rec.createpartition("1MiB", "2MiB", "keep"), 0);
    struct row {
        char cop;  // l: setlabel(a), f: setpartitionflag(1, a), p: createpartition(a, b, name)
        std::string a, b, sname;
        bool bkept;  // the partition is made with exactly this name; otherwise refused
    };
    const std::string slong(256, 'n');
    std::string s36e;  // 36 UTF-16 code units in 72 bytes
    for (int i = 0; i < 36; ++i) s36e += "\u00e9";
    const std::vector<row> rows = {
        {'f', "boot on rm 1 set 2 esp", "", "", false},
        {'p', "20MiB", "30MiB rm 1", "data", false},
        {'l', "gpt mkpart injected 40MiB 50MiB", "", "", false},
        {'l', "", "", "", false},
        {'f', "esp\\", "", "", false},
        {'f', "\"esp\"", "", "", false},
        {'f', "l'vm", "", "", false},
        {'p', "20MiB\t", "30MiB", "data", false},
        {'p', "20MiB", "30MiB", "x\ny", false},
        {'p', "20MiB", "30MiB", "x\x7f", false},
        {'p', "20MiB", "30MiB", slong, false},
        {'p', "", "", "A\\\"B\"C 50MiB 60MiB rm 1 mkpart x", true},
        {'p', "", "", "a\\b c", true},
        {'p', "", "", "a:b c", true},
        {'p', "", "", "ends\\", true},
        {'p', "", "", "it's \"q\"", true},
        {'p', "", "", "Donn\u00e9es", true},
        {'p', "", "", "\\\"", true},
        // GPT holds 36 UTF-16 code units of the Basic Multilingual Plane.
        {'p', "20MiB", "30MiB", std::string(36, 'a') + "X", false},
        {'p', "20MiB", "30MiB", "db-\U0001F4BE", false},
        {'p', "20MiB", "30MiB", "\xff", false},
        {'p', "20MiB", "30MiB", "\xed\xa0\x80", false},
        {'p', "", "", std::string(36, 'b'), true},
        {'p', "", "", s36e, true},
    };
    int imib = 4;
    size_t urefused = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(1, r.cop) + "|" + r.a + "|" + r.b + "|" + r.sname);
        std::vector<partitioninfo> vbefore, vafter;
        ASSERT_EQ(rec.extractpartitioninfo(vbefore), 0);
        int iret = -2;
        if (r.cop == 'l') iret = rec.setlabel(r.a);
        if (r.cop == 'f') iret = rec.setpartitionflag(1, r.a);
        if (r.cop == 'p' && r.bkept) {
            iret = rec.createpartition(utilities::itostr(imib) + "MiB",
                                       utilities::itostr(imib + 2) + "MiB", r.sname);
            imib += 2;
        } else if (r.cop == 'p') {
            iret = rec.createpartition(r.a, r.b, r.sname);
        }
        ASSERT_EQ(rec.extractpartitioninfo(vafter), 0);
        if (!r.bkept) {
            EXPECT_EQ(iret, -1);
            ++urefused;
            EXPECT_EQ(rows_of(vafter), rows_of(vbefore));
            continue;
        }
        EXPECT_EQ(iret, 0);
        ASSERT_EQ(vafter.size(), vbefore.size() + 1);
        EXPECT_EQ(vafter.front().m_name, "keep");
        EXPECT_EQ(vafter.back().m_name, r.sname);
    }
    // One log line a refusal, naming the value (control characters as \xNN).
    EXPECT_EQ(log.count_containing(" refused: value "), urefused);
    // The file holds the value as written, on one line.
    EXPECT_NE(log.text().find("Value x\\x0ay refused: value holds a control character\n"),
              std::string::npos);
}

// No listing at all, not even the unit line, is a parted that did not run; a disk without a
// label is listed, empty.
TEST_F(Root_Partitions, APartedThatCannotRunIsAFailure) {
    loop_device loop(16, true);
    ASSERT_TRUE(loop.ok());
    velka_test::logcapture log;
    blkdev rec(loop.device(), log.src());
    std::vector<partitioninfo> vparts;
    EXPECT_EQ(rec.extractpartitioninfo(vparts), 0);
    velka_test::tempdir empty;
    std::string spath = getenv("PATH");
    setenv("PATH", empty.path().c_str(), 1);
    EXPECT_EQ(rec.extractpartitioninfo(vparts), -1);
    setenv("PATH", spath.c_str(), 1);
    EXPECT_TRUE(vparts.empty());
    EXPECT_EQ(log.count_containing("Failed to extract output of command parted  -s -m "), 1u);
}

TEST_F(Root_Partitions, ADiskThatIsGoneGivesNoPartitionsAndNoEntries) {
    // The record names a node of the test's own, made with the loop device's numbers. When
    // the disk goes away its node goes with it; the loop device's number is never used
    // again here, since another process may attach a device of its own to it at once.
    velka_test::tempdir nodes;
    const std::string sdev = nodes / "sdz";
    velka_test::logcapture log;
    {
        loop_device loop(16, true);
        ASSERT_TRUE(loop.ok());
        int imaj = 0, imin = 0;
        ASSERT_TRUE(utilities::isblkdev(loop.device(), imaj, imin));
        ASSERT_EQ(mknod(sdev.c_str(), S_IFBLK | 0600, makedev(imaj, imin)), 0);
        blkdev rec(sdev, nullptr);
        ASSERT_EQ(rec.setlabel("gpt"), 0);
        std::vector<partitioninfo> vparts;
        ASSERT_EQ(rec.extractpartitioninfo(vparts), 0);
        EXPECT_TRUE(vparts.empty());
        ASSERT_EQ(::unlink(sdev.c_str()), 0);
    }
    ASSERT_EQ(sh("rm -rf /run/udev/data"), 0);
    blkdev rec(sdev, log.src());
    std::vector<partitioninfo> vparts;
    // parted prints nothing for a disk it cannot open: no listing, a failure.
    EXPECT_EQ(rec.extractpartitioninfo(vparts), -1);
    EXPECT_TRUE(vparts.empty());
    EXPECT_EQ(rec.createudeventry(), -1);
    std::list<std::string> lentries;
    utilities::readdir("/run/udev/data", lentries);
    EXPECT_TRUE(lentries.empty());
    EXPECT_EQ(rec.clearpartitiontable(), -1);
    EXPECT_EQ(rec.setlabel("gpt"), -1);
    EXPECT_EQ(rec.createpartition("1MiB", "100%", "data"), -1);
    EXPECT_EQ(rec.setpartitionflag(1, "lvm"), -1);
    // The log is read once everything has run.
    EXPECT_TRUE(
        log.has("blkdev::blkdev::createudeventry( )  Failed to create udev entry for " + sdev));
    EXPECT_EQ(log.count_containing("Failed to open block device " + sdev +
                                   " error: No such file or directory"),
              1u);
}

// A disk whose partition is mounted (also through a node of its own), is an active swap area,
// or is held open exclusively: every call that would destroy what is on the disk or the
// partition refuses it (-1, one log line naming the user) and nothing changes. A partition
// just made and not mounted is free.
TEST_F(Root_Partitions, ADiskInUseIsNotTouched) {
    VELKA_REQUIRE_TOOL("swapon");
    VELKA_REQUIRE_TOOL("pvcreate");
    loop_device loop(64, true);
    ASSERT_TRUE(loop.ok());
    const std::string sdev = loop.device(), sp1 = utilities::get_partition_name(sdev, 1),
                      sp2 = utilities::get_partition_name(sdev, 2);
    blkdev rec(sdev, nullptr);
    velka::fs::fs fsys(nullptr);
    ASSERT_EQ(rec.setlabel("gpt"), 0);
    ASSERT_EQ(rec.createpartition("1MiB", "20MiB", "data"), 0);
    ASSERT_EQ(rec.createpartition("20MiB", "40MiB", "swap"), 0);
    ASSERT_EQ(fsys.mkfs(sp1, "ext4"), 0);
    ASSERT_EQ(fsys.createswapdevice(sp2), 0);
    velka_test::tempdir dir;
    const std::string salias = dir / "alias", smnt = dir / "mnt", q1 = utilities::shellquote(sp1);
    int imaj = 0, imin = 0, ifd = -1;
    ASSERT_TRUE(utilities::isblkdev(sp1, imaj, imin));
    ASSERT_EQ(mknod(salias.c_str(), S_IFBLK | 0600, makedev(imaj, imin)), 0);
    ASSERT_EQ(::mkdir(smnt.c_str(), 0755), 0);
    struct user {
        std::string snode, sstart, sstop, sused;
    };
    const std::vector<user> users = {
        {sp1, "mount " + q1 + " " + smnt, "umount " + smnt, " is mounted on " + smnt},
        {sp1, "mount " + salias + " " + smnt, "umount " + smnt, " is mounted on " + smnt},
        {sp2, "swapon " + sp2, "swapoff " + sp2, " is an active swap area"},
        {sp1, "", "", " is opened exclusively by another program"},
    };
    std::vector<partitioninfo> vbefore;
    ASSERT_EQ(rec.extractpartitioninfo(vbefore), 0);
    for (const auto& u : users) {
        SCOPED_TRACE(u.sstart + u.sused);
        if (u.sstart.empty()) ifd = ::open(sp1.c_str(), O_RDONLY | O_EXCL);
        std::unique_ptr<void, std::function<void(void*)>> stop(&ifd, [&](void*) {
            if (!u.sstop.empty()) sh(u.sstop);
            if (ifd >= 0) ::close(ifd);
            ifd = -1;
        });
        ASSERT_TRUE(u.sstart.empty() ? ifd >= 0 : sh(u.sstart) == 0);
        velka_test::logcapture log;
        blkdev disk(sdev, log.src());
        velka::fs::fs f(log.src());
        velka::lvm::lvm l(log.src()), g(std::list<std::string>{u.snode}, log.src());
        EXPECT_EQ(disk.clearpartitiontable(), -1);
        EXPECT_EQ(disk.setlabel("msdos"), -1);
        EXPECT_EQ(disk.createpartition("40MiB", "60MiB", "new"), -1);
        EXPECT_EQ(f.mkfs(u.snode, "ext4"), -1);
        EXPECT_EQ(f.createswapdevice(u.snode), -1);
        EXPECT_EQ(l.pvcreate(u.snode), -1);
        EXPECT_EQ(g.vgcreate("velkainuse", 4), -1);
        EXPECT_EQ(log.count_containing("Block device " + sdev + " refused: " + u.snode + u.sused),
                  3u);
        EXPECT_EQ(
            log.count_containing("Block device " + u.snode + " refused: " + u.snode + u.sused), 4u);
        EXPECT_EQ(log.count_containing("using command"), 0u);
        std::vector<partitioninfo> vafter;
        ASSERT_EQ(rec.extractpartitioninfo(vafter), 0);
        EXPECT_EQ(rows_of(vafter), rows_of(vbefore));
    }
    // Nothing in use any more: a new partition, its filesystem and a physical volume.
    ASSERT_EQ(rec.createpartition("40MiB", "60MiB", "new"), 0);
    const std::string sp3 = utilities::get_partition_name(sdev, 3);
    EXPECT_EQ(fsys.mkfs(sp3, "ext4"), 0);
    velka::lvm::lvm l(nullptr);
    EXPECT_EQ(l.pvcreate(sp3), 0);
    EXPECT_EQ(l.pvremove(sp3), 0);
    EXPECT_EQ(rec.clearpartitiontable(), 0);
}
