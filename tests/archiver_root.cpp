// Parallel archiver with the real tar on fixed system paths, in the test's private mount
// namespace: the excluded credentials under /root stay out of a system archive, and a
// processor count that cannot be read still gives one worker.
#include <string>

#include <gtest/gtest.h>

#include <velka/archiver>
#include <velka/logger>
#include <velka/utilities>

#include "velka_test.h"

using velka::archiver::archiver;
using velka::utilities::utilities;
using velka_test::sh;
using velka_test::slurp;
using velka_test::spew;
using velka_test::tempdir;

namespace {

bool everylevel(velka::logger::log_level_t) {
    return true;
}

// A logging core writing to a file, and one source on it. text() stops the core, so every
// line logged before has reached the file.
class logcapture {
public:
    logcapture()
        : m_spath(m_dir / "velka.log"),
          m_pcore(new velka::logger::core(4096)),
          m_psource(new velka::logger::source(m_pcore, everylevel)) {
        m_pcore->add_sink(velka::logger::FILE_SINK, m_spath);
    }
    ~logcapture() {
        stop();
    }
    velka::logger::source* source() {
        return m_psource;
    }
    std::string text() {
        stop();
        return slurp(m_spath);
    }

private:
    void stop() {
        delete m_psource;
        m_psource = nullptr;
        delete m_pcore;
        m_pcore = nullptr;
    }
    tempdir m_dir;
    std::string m_spath;
    velka::logger::core* m_pcore;
    velka::logger::source* m_psource;
};

bool contains(const std::string& stext, const std::string& spart) {
    return stext.find(spart) != std::string::npos;
}

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
    archiver arch(log.source());
    ASSERT_EQ(arch.creategziparchive(dir / "list"), 0);
    std::string slisting;
    ASSERT_EQ(sh("tar -tzf " + q(dir / "root.tar.gz") + " | LC_ALL=C sort", &slisting), 0);
    // Only the exact excluded paths go; a .ssh elsewhere in the tree stays.
    EXPECT_EQ(slisting,
              "root/\nroot/.bashrc\nroot/keep/\nroot/keep/.ssh/\nroot/keep/.ssh/config\n"
              "root/keep/file\n");
    EXPECT_TRUE(contains(log.text(), "0 | completed processing | " + dir / "root.tar.gz"));
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
    archiver arch(log.source());
    EXPECT_EQ(arch.creategziparchive(dir / "list"), 0);
    std::string stext = log.text();
    EXPECT_TRUE(contains(stext, "A maximum of 1 tasks will be created for creating the archive "));
    EXPECT_TRUE(contains(stext, "1 tasks will be created for processing " + dir / "list"));
    EXPECT_TRUE(contains(stext, "0 | completed processing | " + dir / "a.tar.gz"));
    EXPECT_TRUE(contains(stext, "0 | completed processing | " + dir / "b.tar.gz"));
}
