// The mount-path configuration file without root: reading fixtures and round trips through
// the three open modes, checked against an independent read with libc's getmntent; escapes,
// long fields, empty fields, wrong modes, unreadable and unwritable files.
#include <mntent.h>
#include <sys/stat.h>

#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/mntconfig>
#include <velka/mnttab>

#include "internal/mntconfig.h"

#include "mounts_log.h"
#include "velka_test.h"

using mounts_test::logcapture;
using mounts_test::msg;
using velka::mntconfig::appendentries;
using velka::mntconfig::extractentries;
using velka::mntconfig::mntconfig;
using velka::mntconfig::updateentries;
using velka::mnttab::mnttab;
using velka_test::fixture;
using velka_test::slurp;
using velka_test::spew;
using velka_test::tempdir;

namespace {

struct row {
    std::string sdev, spath, stype, sopts;
    int ifreq, ipass;
    bool operator==(const row& o) const {
        return sdev == o.sdev && spath == o.spath && stype == o.stype && sopts == o.sopts &&
               ifreq == o.ifreq && ipass == o.ipass;
    }
};

std::ostream& operator<<(std::ostream& os, const row& r) {
    return os << "[" << r.sdev << "|" << r.spath << "|" << r.stype << "|" << r.sopts << "|"
              << r.ifreq << "|" << r.ipass << "]";
}

// The file as libc reads it on its own, with a buffer large enough for any test line.
std::vector<row> libcrows(const std::string& spath) {
    std::vector<row> lrows;
    FILE* fp = setmntent(spath.c_str(), "r");
    if (fp == nullptr) return lrows;
    std::vector<char> buf(1 << 16);
    struct mntent ent;
    while (getmntent_r(fp, &ent, buf.data(), static_cast<int>(buf.size())) != nullptr)
        lrows.push_back({ent.mnt_fsname, ent.mnt_dir, ent.mnt_type, ent.mnt_opts, ent.mnt_freq,
                         ent.mnt_passno});
    endmntent(fp);
    return lrows;
}

// What the entries hold, in the same form (path as stored, options joined).
std::vector<row> entryrows(const std::list<mnttab>& l) {
    std::vector<row> lrows;
    for (const auto& e : l)
        lrows.push_back({e.get_blkdev(), e.get_mntpath(), e.get_fstype(), e.get_fsargs(),
                         static_cast<int>(e.get_fsfreq()), static_cast<int>(e.get_fspassno())});
    return lrows;
}

std::list<mnttab> readall(const std::string& spath, int* piret = nullptr) {
    std::list<mnttab> l;
    mntconfig cfg(spath, extractentries, nullptr);
    int iret = cfg.extract(l);
    if (piret != nullptr) *piret = iret;
    return l;
}

}  // namespace

TEST(Unit_Mntconfig, ExtractReadsWhatLibcReads) {
    logcapture log;
    std::list<mnttab> l{mnttab("stale", "/stale", "xfs", "", nullptr)};
    {
        mntconfig cfg(fixture("mntconfig/mixed.conf"), extractentries, log.src());
        ASSERT_EQ(cfg.extract(l), 0);
    }
    auto lexpected = libcrows(fixture("mntconfig/mixed.conf"));
    ASSERT_EQ(lexpected.size(), 5u);
    for (auto& r : lexpected) {
        r.spath = mnttab::normalize_path(r.spath);
        r.sopts = mnttab("", "", "", r.sopts, nullptr).get_fsargs();
        r.ifreq = r.ipass = 0;  // columns 5 and 6 are not read
    }
    EXPECT_EQ(entryrows(l), lexpected);
    // Spot checks of the decoding itself.
    auto it = l.begin();
    EXPECT_EQ(it->get_mntpath(), "/mnt/disk1");
    EXPECT_EQ(it->get_fsargs(), "defaults");
    ++it;
    EXPECT_EQ(it->get_fsargs(), "rw,noatime,inode64");
    ++it;
    EXPECT_EQ(it->get_blkdev(), "/dev/disk/by-label/data set");
    EXPECT_EQ(it->get_mntpath(), "/mnt/data set\ttab");
    ++it;
    EXPECT_EQ(it->get_mntpath(), "/mnt/back\\slash");
    ++it;
    EXPECT_EQ(it->get_mntpath(), "/mnt/newline\nname");

    EXPECT_TRUE(log.has(
        msg("mntconfig", "mntconfig::extract",
            "Will start parsing the mountpath config file " + fixture("mntconfig/mixed.conf"))));
    // The path is logged as read, before it is normalised.
    EXPECT_TRUE(log.has(msg("mntconfig", "mntconfig::extract",
                            "Created mnttab entry [/dev/sdb1 : /mnt//disk1/ : xfs : defaults]")));
    EXPECT_TRUE(log.has(msg("mntconfig", "mntconfig::~mntconfig",
                            "Closing mountpath config file " + fixture("mntconfig/mixed.conf"))));
}

TEST(Unit_Mntconfig, LinesWithoutPathOrTypeAreSkipped) {
    logcapture log;
    std::list<mnttab> l;
    {
        mntconfig cfg(fixture("mntconfig/short-lines.conf"), extractentries, log.src());
        EXPECT_EQ(cfg.extract(l), 0);
    }
    EXPECT_TRUE(l.empty());
    EXPECT_TRUE(log.has(msg("mntconfig", "mntconfig::extract",
                            "Skipped mnttab entry [/dev/sdb1 : /mnt/disk1 :  : ] without a type")));
    EXPECT_TRUE(log.has(msg("mntconfig", "mntconfig::extract",
                            "Skipped mnttab entry [lonefield :  :  : ] without a mount path")));
}

// A damaged line (a NUL byte) is skipped; every intact line around it still yields its entry.
TEST(Unit_Mntconfig, ADamagedLineLosesNoNeighbour) {
    logcapture log;
    velka_test::tempdir dir;
    velka_test::spew(dir / "nul.conf", std::string("/dev/sdb1 /mnt/a xfs defaults 0 0\n"
                                                   "/dev/sdc1 /mnt/") +
                                           '\0' +
                                           "b xfs defaults 0 0\n"
                                           "/dev/sdd1 /mnt/c xfs defaults 0 0\n"
                                           "/dev/sde1 /mnt/d ext4 rw 0 0\n");
    std::list<mnttab> l;
    {
        mntconfig cfg(dir / "nul.conf", extractentries, log.src());
        ASSERT_EQ(cfg.extract(l), 0);
    }
    std::vector<std::string> vpaths;
    for (const auto& e : l) vpaths.push_back(e.get_mntpath());
    EXPECT_EQ(vpaths, (std::vector<std::string>{"/mnt/a", "/mnt/c", "/mnt/d"}));
    EXPECT_TRUE(log.has(msg("mntconfig", "mntconfig::extract",
                            "Skipped mnttab entry [/dev/sdc1 /mnt/] with a NUL byte")));
    // The parser seam itself, on text that no file reader shaped.
    std::list<mnttab> lseam;
    velka::mntconfig::parseentries("  # note\n\t\n-x /m tmpfs\nnew /n xfs", lseam, nullptr);
    ASSERT_EQ(lseam.size(), 2u);
    EXPECT_EQ(lseam.front().get_blkdev(), "-x");
    EXPECT_EQ(lseam.back().get_fstype(), "xfs");
}

TEST(Unit_Mntconfig, RoundTripThroughAllModesKeepsEveryByte) {
    tempdir dir;
    std::string sfile = dir / "mounts.conf";
    // A hand-written start: comments, blank lines, four-field lines.
    spew(sfile,
         "# managed mount paths\n\n/dev/sdb1 /mnt/disk1 xfs rw,noatime\n  \n"
         "/dev/sdc1 /mnt/disk2 ext4 defaults 1 2\n");
    std::list<mnttab> ladd{
        mnttab("/dev/disk/by-label/a b", "/mnt/a b/\tc", "xfs", "rw,context=\"x y\"", nullptr),
        mnttab("/dev/back\\slash", "/mnt/new\nline", "fuse.my fs", "opt\\1,opt 2", nullptr),
    };
    ladd.back().set_fsfreq(3);
    ladd.back().set_fspassno(4);
    {
        mntconfig cfg(sfile, appendentries, nullptr);
        ASSERT_EQ(cfg.update(ladd), 0);
    }
    std::list<mnttab> l = readall(sfile);
    auto llibc = libcrows(sfile);
    ASSERT_EQ(llibc.size(), 4u);
    EXPECT_EQ(llibc[3],
              (row{"/dev/back\\slash", "/mnt/new\nline", "fuse.my fs", "opt\\1,opt 2", 3, 4}));
    for (auto& r : llibc) r.ifreq = r.ipass = 0;
    EXPECT_EQ(entryrows(l), llibc);

    // Rewriting the list read gives one line per entry, escaped, frequency and pass 0.
    {
        mntconfig cfg(sfile, updateentries, nullptr);
        ASSERT_EQ(cfg.update(l), 0);
    }
    EXPECT_EQ(slurp(sfile),
              "/dev/sdb1 /mnt/disk1 xfs rw,noatime 0 0\n"
              "/dev/sdc1 /mnt/disk2 ext4 defaults 0 0\n"
              "/dev/disk/by-label/a\\040b /mnt/a\\040b/\\011c xfs rw,context=\"x\\040y\" 0 0\n"
              "/dev/back\\134slash /mnt/new\\012line fuse.my\\040fs opt\\1341,opt\\0402 0 0\n");
    EXPECT_EQ(entryrows(readall(sfile)), entryrows(l));
}

TEST(Unit_Mntconfig, UpdateWritesFieldsWholeAndNeverAnEmptyColumn) {
    tempdir dir;
    std::string sfile = dir / "mounts.conf";
    std::string slongpath = "/mnt/" + std::string(5000, 'p');
    std::string slongtype = std::string(100, 't');
    std::string slongopts = std::string(3000, 'o') + "," + std::string(2000, 'q');
    std::list<mnttab> l{mnttab("/dev/sdb1", slongpath, slongtype, slongopts, nullptr),
                        mnttab("/dev/sdc1", "/mnt/noopts", "xfs", "", nullptr)};
    logcapture log;
    {
        mntconfig cfg(sfile, updateentries, log.src());
        ASSERT_EQ(cfg.update(l), 0);
    }
    // Lines longer than 4096 bytes are read back whole.
    int iret = -1;
    auto lread = readall(sfile, &iret);
    EXPECT_EQ(iret, 0);
    ASSERT_EQ(lread.size(), 2u);
    EXPECT_EQ(lread.front().get_mntpath(), slongpath);
    EXPECT_EQ(lread.front().get_fstype(), slongtype);
    EXPECT_EQ(lread.front().get_fsargs(), slongopts);
    // An entry without options is written "defaults": an empty column would move the
    // frequency into the options on reading.
    EXPECT_EQ(lread.back().get_fsargs(), "defaults");
    EXPECT_TRUE(
        log.has(msg("mntconfig", "mntconfig::update", "/dev/sdc1  /mnt/noopts xfs defaults")));

    // An entry without device, path or type cannot be written; lines before it stay.
    std::list<mnttab> lbad{mnttab("/dev/sdd1", "/mnt/d", "xfs", "rw", nullptr),
                           mnttab("", "/mnt/e", "xfs", "rw", nullptr),
                           mnttab("/dev/sdf1", "/mnt/f", "xfs", "rw", nullptr)};
    logcapture log2;
    {
        mntconfig cfg(sfile, updateentries, log2.src());
        EXPECT_NE(cfg.update(lbad), 0);
    }
    EXPECT_EQ(slurp(sfile), "/dev/sdd1 /mnt/d xfs rw 0 0\n");
    EXPECT_TRUE(log2.has(msg("mntconfig", "mntconfig::update",
                             "Failed to add   /mnt/e to mountpath config file " + sfile)));
    for (auto* p : {"", "x"}) {
        std::list<mnttab> lone{mnttab("/dev/sdg1", p, "", "rw", nullptr)};
        mntconfig cfg(sfile, appendentries, nullptr);
        EXPECT_NE(cfg.update(lone), 0);
    }
    // A device that begins with "#" would turn its line into a comment that no reader returns.
    {
        std::list<mnttab> lhash{mnttab("#dev", "/mnt/h", "xfs", "rw", nullptr)};
        logcapture log3;
        mntconfig cfg(sfile, appendentries, log3.src());
        EXPECT_NE(cfg.update(lhash), 0);
        EXPECT_TRUE(log3.has(msg("mntconfig", "mntconfig::update",
                                 "Failed to add #dev  /mnt/h to mountpath config file " + sfile)));
    }
    EXPECT_EQ(slurp(sfile), "/dev/sdd1 /mnt/d xfs rw 0 0\n");
}

TEST(Unit_Mntconfig, ModesDecideWhatAnObjectMayDo) {
    tempdir dir;
    std::string sfile = dir / "mounts.conf";
    spew(sfile, "/dev/sdb1 /mnt/disk1 xfs rw 0 0\n");
    std::list<mnttab> l{mnttab("/dev/sdc1", "/mnt/disk2", "xfs", "rw", nullptr)};
    logcapture log;
    {
        // Reading twice from one object gives the same entries.
        mntconfig cfg(sfile, extractentries, log.src());
        std::list<mnttab> lfirst, lsecond;
        EXPECT_EQ(cfg.extract(lfirst), 0);
        EXPECT_EQ(cfg.extract(lsecond), 0);
        EXPECT_EQ(entryrows(lfirst), entryrows(lsecond));
        EXPECT_EQ(lfirst.size(), 1u);
        // Writing to a file opened for reading fails at the first line.
        EXPECT_GT(cfg.update(l), 0);
    }
    {
        mntconfig cfg(sfile, appendentries, log.src());
        std::list<mnttab> lout{mnttab("x", "/x", "xfs", "", nullptr)};
        EXPECT_EQ(cfg.extract(lout), -1);
        EXPECT_EQ(lout.size(), 1u);
        EXPECT_EQ(cfg.update(l), 0);
    }
    EXPECT_EQ(slurp(sfile), "/dev/sdb1 /mnt/disk1 xfs rw 0 0\n/dev/sdc1 /mnt/disk2 xfs rw 0 0\n");
    {
        // The file is emptied on opening for a rewrite; an empty list leaves it empty.
        mntconfig cfg(sfile, updateentries, log.src());
        EXPECT_EQ(slurp(sfile), "");
        std::list<mnttab> lnone;
        EXPECT_EQ(cfg.extract(lnone), -1);
        EXPECT_EQ(cfg.update(lnone), 0);
    }
    EXPECT_EQ(slurp(sfile), "");
    EXPECT_EQ(log.count_containing("entries cannot be extracted in the current mode"), 2u);
    EXPECT_TRUE(
        log.has(msg("mntconfig", "mntconfig::update",
                    "Failed to add /dev/sdc1  /mnt/disk2 to mountpath config file " + sfile)));
}

TEST(Unit_Mntconfig, FailedOpensAndBadModesAreRefused) {
    tempdir dir;
    logcapture log;
    std::list<mnttab> l{mnttab("/dev/sdc1", "/mnt/disk2", "xfs", "rw", nullptr)};
    std::string smissing = dir / "missing/mounts.conf";
    std::string sbadmode = dir / "badmode.conf";
    {
        mntconfig cfg(smissing, extractentries, log.src());
        EXPECT_EQ(cfg.extract(l), -1);
        EXPECT_EQ(cfg.update(l), -1);
    }
    {
        mntconfig cfg(sbadmode, static_cast<velka::mntconfig::mntconfigopenmode>(7), log.src());
        EXPECT_EQ(cfg.extract(l), -1);
        EXPECT_EQ(cfg.update(l), -1);
    }
    {
        mntconfig cfg("", appendentries, log.src());
        EXPECT_EQ(cfg.update(l), -1);
    }
    EXPECT_EQ(l.size(), 1u);
    struct stat st;
    EXPECT_NE(stat(sbadmode.c_str(), &st), 0);
    EXPECT_EQ(
        log.messages(),
        std::vector<std::string>({
            msg("mntconfig", "mntconfig::mntconfig",
                "Failed to open mountpath config file " + smissing),
            msg("mntconfig", "mntconfig::extract", "Handle to mountpath config file is not valid"),
            msg("mntconfig", "mntconfig::update", "Handle to mountpath config file is not valid"),
            msg("mntconfig", "mntconfig::mntconfig",
                "Failed to open mountpath config file " + sbadmode),
            msg("mntconfig", "mntconfig::extract", "Handle to mountpath config file is not valid"),
            msg("mntconfig", "mntconfig::update", "Handle to mountpath config file is not valid"),
            msg("mntconfig", "mntconfig::mntconfig", "Failed to open mountpath config file "),
            msg("mntconfig", "mntconfig::update", "Handle to mountpath config file is not valid"),
        }));
}

TEST(Unit_Mntconfig, UnreadableAndUnwritableFilesFailCleanly) {
    tempdir dir;
    logcapture log;
    std::list<mnttab> l{mnttab("/dev/sdc1", "/mnt/disk2", "xfs", "rw", nullptr)};
    // Reading something that is not a regular file: a directory, an endless device.
    for (const std::string& spath : {dir.path(), std::string("/dev/zero")}) {
        mntconfig cfg(spath, extractentries, log.src());
        std::list<mnttab> lout(l);
        EXPECT_EQ(cfg.extract(lout), -1);
        EXPECT_EQ(lout.size(), 1u);
    }
    // A line beyond any sensible length makes the file unreadable, not cut short.
    std::string shuge = dir / "huge.conf";
    spew(shuge, "/dev/sdb1 /mnt/" + std::string(2 * 1024 * 1024, 'x') + " xfs rw 0 0\n");
    {
        mntconfig cfg(shuge, extractentries, log.src());
        std::list<mnttab> lout;
        EXPECT_EQ(cfg.extract(lout), -1);
    }
    // A full device makes the update fail.
    {
        mntconfig cfg("/dev/full", appendentries, log.src());
        EXPECT_NE(cfg.update(l), 0);
    }
    EXPECT_TRUE(log.has(msg("mntconfig", "mntconfig::extract",
                            "Mountpath config file " + dir.path() + " is not a regular file")));
    EXPECT_TRUE(log.has(msg("mntconfig", "mntconfig::extract",
                            "Mountpath config file /dev/zero is not a regular file")));
    EXPECT_TRUE(
        log.has(msg("mntconfig", "mntconfig::extract",
                    "Mountpath config file " + shuge + " cannot be read or has an overlong line")));
    EXPECT_TRUE(log.has(msg("mntconfig", "mntconfig::update",
                            "Failed to add /dev/sdc1  /mnt/disk2 to mountpath config file "
                            "/dev/full")));
}

TEST(Unit_Mntconfig, HasMntpathComparesExactly) {
    std::list<mnttab> l{mnttab("/dev/sdb1", "/mnt//disk1/", "xfs", "rw", nullptr),
                        mnttab("/dev/sdc1", "/mnt/disk2", "xfs", "rw", nullptr)};
    mntconfig cfg("", static_cast<velka::mntconfig::mntconfigopenmode>(0), nullptr);
    EXPECT_TRUE(cfg.hasmntpath(l, "/mnt/disk1"));
    EXPECT_TRUE(cfg.hasmntpath(l, "/mnt/disk2"));
    EXPECT_FALSE(cfg.hasmntpath(l, "/mnt/disk1/"));
    EXPECT_FALSE(cfg.hasmntpath(l, "/mnt//disk1"));
    EXPECT_FALSE(cfg.hasmntpath(l, ""));
}
