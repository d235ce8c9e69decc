// Multi-threaded copy across real filesystems in the test's private mount namespace: from a
// tmpfs to a loop-mounted ext4 and back, onto an ext4 that fills up, and with a processor
// count that cannot be read.
#include <errno.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include <velka/logger>
#include <velka/mtcopy>
#include <velka/utilities>

#include "datamove_test.h"
#include "velka_test.h"

using datamove_test::contains;
using datamove_test::logcapture;
using datamove_test::pattern;
using velka::mtcopy::mtcopy;
using velka::utilities::utilities;
using velka_test::slurp;
using velka_test::spew;
using velka_test::tempdir;

namespace {

// A fresh ext4 on a loop device, mounted on a temporary directory; unmounted, detached and
// removed on destruction.
class ext4_mount {
public:
    explicit ext4_mount(unsigned long long ullsizemb) : m_loop(ullsizemb), m_bok(false) {
        if (!m_loop.ok()) return;
        if (velka_test::sh("mkfs.ext4 -q -F -m 0 " + utilities::shellquote(m_loop.device()) +
                           " >/dev/null 2>&1") != 0) {
            ADD_FAILURE() << "mkfs.ext4 on " << m_loop.device();
            return;
        }
        m_bok = mount(m_loop.device().c_str(), m_dir.path().c_str(), "ext4", 0, nullptr) == 0;
        if (!m_bok) ADD_FAILURE() << "mount " << m_loop.device() << ": " << strerror(errno);
    }
    ~ext4_mount() {
        if (m_bok) umount2(m_dir.path().c_str(), 0);
    }
    bool ok() const {
        return m_bok;
    }
    std::string operator/(const std::string& sname) const {
        return m_dir / sname;
    }

private:
    velka_test::loop_device m_loop;
    tempdir m_dir;
    bool m_bok;
};

}  // namespace

TEST(Root_Mtcopy, CopiesBetweenTmpfsAndExt4AreByteExact) {
    VELKA_REQUIRE_ROOT();
    VELKA_REQUIRE_TOOL("mkfs.ext4");
    ext4_mount ext4(64);
    ASSERT_TRUE(ext4.ok());
    tempdir tmpdir;
    velka_test::tmpfs_mount tmpfs(tmpdir.path());
    ASSERT_TRUE(tmpfs.ok());

    std::string sdata = pattern(9 * 1024 * 1024 + 4321, 1);
    spew(tmpdir / "src", sdata);
    {
        mtcopy copy(tmpdir / "src", ext4 / "copy", 1024 * 1024, nullptr);
        ASSERT_EQ(copy.wait(), 0);
    }
    EXPECT_TRUE(slurp(ext4 / "copy") == sdata);
    {
        mtcopy copy(ext4 / "copy", tmpdir / "back", 256 * 1024, nullptr);
        ASSERT_EQ(copy.wait(), 0);
    }
    EXPECT_TRUE(slurp(tmpdir / "back") == sdata);
}

TEST(Root_Mtcopy, FullDestinationIsReportedByWaitAndLogged) {
    VELKA_REQUIRE_ROOT();
    VELKA_REQUIRE_TOOL("mkfs.ext4");
    ext4_mount ext4(16);
    ASSERT_TRUE(ext4.ok());
    tempdir tmpdir;
    velka_test::tmpfs_mount tmpfs(tmpdir.path());
    ASSERT_TRUE(tmpfs.ok());
    spew(tmpdir / "src", pattern(48 * 1024 * 1024, 2));

    logcapture log;
    int irc = 0;
    int ierr = 0;
    {
        mtcopy copy(tmpdir / "src", ext4 / "copy", 1024 * 1024, log.src());
        irc = copy.wait();
        ierr = errno;
        // The result stays the same when asked again.
        EXPECT_EQ(copy.wait(), -1);
        EXPECT_EQ(errno, ENOSPC);
    }
    EXPECT_EQ(irc, -1);
    EXPECT_EQ(ierr, ENOSPC);
    EXPECT_NE(log.text().find("mtcopy_handler( )  splice failed No space left on device"),
              std::string::npos);
}

TEST(Root_Mtcopy, UnreadableCoreCountMeansOneWorker) {
    VELKA_REQUIRE_ROOT();
    tempdir dir;
    // /proc/cpuinfo without processor lines: the core count reads as 0.
    spew(dir / "cpuinfo", "vendor_id\t: none\n");
    velka_test::bind_mount cpuinfo(dir / "cpuinfo", "/proc/cpuinfo");
    ASSERT_TRUE(cpuinfo.ok());
    std::string sdata = pattern(200000, 4);
    spew(dir / "src", sdata);
    logcapture log;
    {
        mtcopy copy(dir / "src", dir / "dst", 4096, log.src());
        EXPECT_EQ(copy.wait(), 0);
    }
    EXPECT_TRUE(slurp(dir / "dst") == sdata);
    EXPECT_NE(log.text().find("A maximum of 1 tasks will be created for copying the file"),
              std::string::npos);
}
