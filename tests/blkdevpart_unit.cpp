// The reader of parted's machine-readable partition listing, over captured, collected and
// broken listings (tests/fixtures/parted): which lines become partitions, with which fields, and
// which are skipped with a log line.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/blkdev>
#include <velka/utilities>

#include "internal/blkdev.h"

#include "logcapture.h"
#include "velka_test.h"

using velka::blkdev::blkdev;
using velka::blkdev::partitioninfo;
using velka::utilities::utilities;

namespace {

// The fixture's lines as the command helper returns them: split at line ends, trimmed.
std::vector<std::string> fixturelines(const std::string& sname) {
    std::vector<std::string> vlines;
    std::string stext = velka_test::slurp(velka_test::fixture("parted/" + sname));
    std::string::size_type ipos = 0;
    while (ipos < stext.size()) {
        std::string::size_type iend = stext.find('\n', ipos);
        if (iend == std::string::npos) iend = stext.size();
        vlines.push_back(utilities::trim(stext.substr(ipos, iend - ipos)));
        ipos = iend + 1;
    }
    return vlines;
}

// number|start|end|size|fstype|name|flags
std::string row(const partitioninfo& p) {
    return utilities::itostr(p.m_partitionnum) + "|" + p.m_start + "|" + p.m_end + "|" + p.m_size +
           "|" + p.m_fstype + "|" + p.m_name + "|" + p.m_flags;
}

struct listingcase {
    const char* sfixture;
    std::vector<std::string> vrows;
    size_t uiskiplogs;  // lines skipped with a log line
};

}  // namespace

TEST(Unit_PartitionListing, FixturesGiveTheirPartitionsFieldByField) {
    const std::vector<listingcase> cases = {
        {"gpt-four.out",
         {"1|1049kB|538MB|537MB|fat32|EFI System Partition|boot, esp",
          "2|538MB|800MB|262MB||primary|", "3|800MB|1073MB|273MB|ext4|data|lvm",
          "4|1074MB|1074MB|512B||it\"s|"},
         0},
        {"gpt-four-bytes.out",
         {"1|1048576B|537919487B|536870912B|fat32|EFI System Partition|boot, esp",
          "2|537919488B|800063487B|262144000B||primary|",
          "3|800063488B|1072693247B|272629760B|ext4|data|lvm",
          "4|1073724416B|1073724927B|512B||it\"s|"},
         0},
        {"msdos-two.out", {"1|1049kB|315MB|314MB|ext4||boot", "2|315MB|1074MB|759MB|||lvm"}, 0},
        {"gpt-empty.out", {}, 0},
        {"xfs-no-table.out", {}, 0},
        {"blank-disk.out", {}, 0},
        {"empty.out", {}, 0},
        {"unit-line-only.out", {}, 0},
        {"truncated.out", {"1|1049kB|538MB|537MB|fat32|EFI System Partition|boot, esp"}, 1},
        {"short-lines.out",
         {"1|1049kB|538MB|537MB|fat32|EFI System Partition|boot, esp",
          "4|800MB|900MB|100MB|ext4|data|"},
         5},
        {"unknown-units.out", {"1|17parsec|2.5furlong|1e9999zz|xfs|x|", "2|-1kB|NaNB|infB|||"}, 0},
        {"huge-numbers.out", {}, 5},
        // parted 3.5 escapes ":" and "\" in names and prints a line feed as it is.
        {"gpt-names-escaped.out",
         {"1|1049kB|8389kB|7340kB||a:b\\c d|", "2|8389kB|16.8MB|8389kB||Donn\u00e9es|",
          "3|16.8MB|25.2MB|8389kB||x\ny|", "4|25.2MB|33.6MB|8389kB||a;\nb|",
          "5|33.6MB|41.9MB|8389kB||it's \"q\"|boot, esp", "6|41.9MB|50.3MB|8389kB||ends\\|lvm"},
         0},
        // The shared corpus of real listings.
        {"ansible__community.general_test_parted_output1.txt",
         {"1|1.05MB|106MB|105MB|fat32||esp", "2|106MB|368MB|262MB|ext2||",
          "3|368MB|256061MB|255692MB|||"},
         0},
        {"local__parted3.5_gpt_backslash_name.txt", {"1|1049kB|52.4MB|51.4MB||back\\\\slash|"}, 0},
        {"local__parted3.5_loop_whole_disk_ext4.txt", {}, 0},
        {"local__parted3.5_msdos_extended_logical.txt",
         {"1|1049kB|210MB|209MB|ext4||boot", "2|210MB|315MB|105MB|||lba",
          "3|315MB|1074MB|759MB|||lba", "5|316MB|524MB|209MB|ext4||", "6|525MB|734MB|209MB|||swap",
          "7|735MB|944MB|209MB|||lvm"},
         0},
        {"parted-tests__t0280-gpt-corrupt_exp.txt", {"1|2048s|4095s|2048s||foo|swap"}, 0},
        {"parted-tests__t5000-tags_exp.txt", {"1|2048s|4095s|2048s||name1|bios_grub"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sfixture);
        velka_test::logcapture log;
        std::vector<partitioninfo> vparts;
        int icount =
            velka::blkdev::parsepartitionlisting(fixturelines(c.sfixture), vparts, log.src());
        std::vector<std::string> vrows;
        for (const auto& p : vparts) vrows.push_back(row(p));
        EXPECT_EQ(vrows, c.vrows);
        EXPECT_EQ(icount, static_cast<int>(c.vrows.size()));
        EXPECT_EQ(log.count_containing("Skipping "), c.uiskiplogs);
    }
}

TEST(Unit_PartitionListing, SingleLinesKeepEveryFieldInItsPlace) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1:1049kB:538MB:537MB:fat32:EFI System Partition:boot, esp;",
         "1|1049kB|538MB|537MB|fat32|EFI System Partition|boot, esp"},
        // No file system type: the name stays a name.
        {"2:538MB:1000MB:462MB::primary:;", "2|538MB|1000MB|462MB||primary|"},
        // Fewer fields than parted prints, still at least four.
        {"3:1MB:2MB:1MB;", "3|1MB|2MB|1MB|||"},
        {"3:1MB:2MB:1MB:ext2;", "3|1MB|2MB|1MB|ext2||"},
        {"3:1MB:2MB:1MB:ext2:n;", "3|1MB|2MB|1MB|ext2|n|"},
        // parted before 3.5 did not escape ":" in a name; the flags stay the last field.
        {"5:1MB:2MB:1MB::a:b:c:boot;", "5|1MB|2MB|1MB||a:b:c|boot"},
        {"128:1MB:2MB:1MB:::;", "128|1MB|2MB|1MB|||"},
        {"999999999:1MB:2MB:1MB:::;", "999999999|1MB|2MB|1MB|||"},
    };
    for (const auto& c : cases) {
        std::vector<partitioninfo> vparts;
        std::vector<std::string> vlines = {"BYT;", "/dev/sdb:1000MB:scsi:512:512:gpt:X:;", c.first};
        EXPECT_EQ(velka::blkdev::parsepartitionlisting(vlines, vparts, nullptr), 1) << c.first;
        ASSERT_EQ(vparts.size(), 1u) << c.first;
        EXPECT_EQ(row(vparts[0]), c.second);
    }
}

TEST(Unit_PartitionListing, BadLinesAreSkippedAndTheRestRead) {
    const std::vector<std::string> vbad = {
        "1:0.00B:500GB:500GB:xfs::;",  // a file system without a table
        "1:1049kB:538MB;",             // three fields
        "1:1049kB:538MB:537MB",        // no closing ";"
        "::::;",
        ":1MB:2MB:1MB:::;",
        "1::2MB:1MB:::;",
        "0:1MB:2MB:1MB:::;",
        "-1:1MB:2MB:1MB:::;",
        "+1:1MB:2MB:1MB:::;",
        " 1:1MB:2MB:1MB:::;",
        "1x:1MB:2MB:1MB:::;",
        "4294967297:1MB:2MB:1MB:::;",
        "99999999999999999999999:1MB:2MB:1MB:::;",
        ";",
        "",
    };
    std::vector<std::string> vlines = {"BYT;", "/dev/sdb:1000MB:scsi:512:512:gpt:X:;"};
    for (const auto& s : vbad) vlines.push_back(s);
    vlines.push_back("7:1MB:2MB:1MB:::;");
    std::vector<partitioninfo> vparts(1);  // earlier contents stay in front
    vparts[0].m_partitionnum = 42;
    EXPECT_EQ(velka::blkdev::parsepartitionlisting(vlines, vparts, nullptr), 1);
    ASSERT_EQ(vparts.size(), 2u);
    EXPECT_EQ(vparts[0].m_partitionnum, 42);
    EXPECT_EQ(row(vparts[1]), "7|1MB|2MB|1MB|||");
}

TEST(Unit_PartitionListing, TheFirstTwoLinesAreNeverPartitions) {
    std::vector<partitioninfo> vparts;
    std::vector<std::string> vlines = {"1:1MB:2MB:1MB:::;", "2:1MB:2MB:1MB:::;"};
    EXPECT_EQ(velka::blkdev::parsepartitionlisting(vlines, vparts, nullptr), 0);
    EXPECT_TRUE(vparts.empty());
}
