// Parallel archiver with the real tar on fixed system paths, in the test's private mount
// namespace: the excluded credentials under /root stay out of a system archive, and a
// processor count that cannot be read still gives one worker.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include <velka/archiver>
#include <velka/logger>
#include <velka/utilities>

#include "datamove_test.h"
#include "velka_test.h"

using datamove_test::contains;
using datamove_test::logcapture;
using datamove_test::pattern;
using velka::archiver::archiver;
using velka::utilities::utilities;
using velka_test::sh;
using velka_test::slurp;
using velka_test::spew;
using velka_test::tempdir;

namespace {

std::string q(const std::string& s) {
    return utilities::shellquote(s);
}

}  // namespace

TEST(Root_Archiver, SystemArchiveLeavesOutExcludedPaths) {
    VELKA_REQUIRE_ROOT();
    VELKA_REQUIRE_TOOL("tar");
    tempdir home, dir;
    ASSERT_EQ(sh("cd " + q(home.path()) +
                 " && mkdir -p .ssh keep/.ssh && echo secret > .ssh/id_rsa && "
                 "echo history > .bash_history && echo vim > .viminfo && echo kept > keep/file && "
                 "echo nested > keep/.ssh/config && echo bash > .bashrc"),
              0);
    velka_test::bind_mount root(home.path(), "/root");
    ASSERT_TRUE(root.ok());
    spew(dir / "list", "/root " + dir / "root.tar.gz\n");

    logcapture log;
    archiver arch(log.src());
    ASSERT_EQ(arch.creategziparchive(dir / "list"), 0);
    std::string slisting;
    ASSERT_EQ(sh("tar -tzf " + q(dir / "root.tar.gz") + " | LC_ALL=C sort", &slisting), 0);
    // Only the exact excluded paths go; a .ssh elsewhere in the tree stays.
    EXPECT_EQ(slisting,
              "root/\nroot/.bashrc\nroot/keep/\nroot/keep/.ssh/\nroot/keep/.ssh/config\n"
              "root/keep/file\n");
    EXPECT_TRUE(contains(log.text(), "0 | completed processing | " + dir / "root.tar.gz"));
}

// GNU tar takes "host:file" for a remote archive; these names stay local files.
TEST(Root_Archiver, ArchiveNamesWithColonsStayLocal) {
    VELKA_REQUIRE_ROOT();
    VELKA_REQUIRE_TOOL("tar");
    tempdir dir;
    ASSERT_EQ(sh("mkdir -p " + q(dir / "data") + " && echo one > " + q(dir / "data/f")), 0);
    ASSERT_EQ(sh("mkdir -p " + q(dir / "backup:") + " " + q(dir / "out")), 0);
    // Relative names, as in a list file: the archive's name itself begins with "host:".
    std::string snames[] = {"snap-10:30.tgz", "backup:/x.tgz"};
    char* pold = getcwd(nullptr, 0);
    ASSERT_NE(pold, nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    for (const auto& sname : snames) {
        SCOPED_TRACE(sname);
        spew(dir / "create", dir / "data " + sname + "\n");
        spew(dir / "extract", sname + " " + dir / "out\n");
        logcapture log;
        archiver arch(log.src());
        EXPECT_EQ(arch.creategziparchive(dir / "create"), 0);
        EXPECT_EQ(arch.extractgziparchive(dir / "extract"), 0);
        EXPECT_TRUE(utilities::isfile(dir / sname));
        EXPECT_EQ(slurp(dir / "out" + dir / "data/f"), "one\n");
        EXPECT_EQ(sh("rm -rf " + q(dir / "out") + " && mkdir " + q(dir / "out")), 0);
    }
    EXPECT_EQ(chdir(pold), 0);
    free(pold);
}

TEST(Root_Archiver, UnreadableCoreCountMeansOneWorker) {
    VELKA_REQUIRE_ROOT();
    VELKA_REQUIRE_TOOL("tar");
    tempdir dir;
    // /proc/cpuinfo without processor lines: the core count reads as 0.
    spew(dir / "cpuinfo", "vendor_id\t: none\n");
    velka_test::bind_mount cpuinfo(dir / "cpuinfo", "/proc/cpuinfo");
    ASSERT_TRUE(cpuinfo.ok());
    ASSERT_EQ(sh("mkdir " + q(dir / "tree") + " && echo x > " + q(dir / "tree/f")), 0);
    spew(dir / "list",
         dir / "tree" + " " + dir / "a.tar.gz\n" + dir / "tree" + " " + dir / "b.tar.gz\n");

    logcapture log;
    archiver arch(log.src());
    EXPECT_EQ(arch.creategziparchive(dir / "list"), 0);
    std::string stext = log.text();
    EXPECT_TRUE(contains(stext, "A maximum of 1 tasks will be created for creating the archive "));
    EXPECT_TRUE(contains(stext, "1 tasks will be created for processing " + dir / "list"));
    EXPECT_TRUE(contains(stext, "0 | completed processing | " + dir / "a.tar.gz"));
    EXPECT_TRUE(contains(stext, "0 | completed processing | " + dir / "b.tar.gz"));
}
