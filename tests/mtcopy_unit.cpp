// Multi-threaded copy on the temporary directory's filesystem, without root: byte-exact copies
// around extent boundaries, the failures that throw, a destination that is the source itself,
// and the result of wait().
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include <velka/exception>
#include <velka/logger>
#include <velka/mtcopy>
#include <velka/platform>

#include "datamove_test.h"
#include "velka_test.h"

using datamove_test::contains;
using datamove_test::logcapture;
using datamove_test::pattern;
using velka::mtcopy::mtcopy;
using velka_test::slurp;
using velka_test::spew;
using velka_test::tempdir;

namespace {

// Runs a copy to the end; the result of wait(), with its errno in *perr.
int copyfile(const std::string& ssrc,
             const std::string& sdest,
             unsigned int uiextent,
             velka::logger::source* plog,
             int* perr = nullptr) {
    mtcopy copy(ssrc, sdest, uiextent, plog);
    int irc = copy.wait();
    if (perr != nullptr) *perr = errno;
    return irc;
}

const unsigned int s_uiextent = 64 * 1024;

}  // namespace

TEST(Unit_Mtcopy, CopiesAreByteExactAroundExtentBoundaries) {
    tempdir dir;
    logcapture log;
    struct {
        const char* sname;
        size_t ulen;
    } cases[] = {
        {"empty", 0},
        {"one byte", 1},
        {"extent minus one", s_uiextent - 1},
        {"one extent", s_uiextent},
        {"extent plus one", s_uiextent + 1},
        {"many extents, short last", 37 * s_uiextent + 1234},
        {"many whole extents", 40 * s_uiextent},
    };
    uint64_t useed = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sname);
        std::string sdata = pattern(c.ulen, useed++);
        spew(dir / "src", sdata);
        // A longer old destination must be cut to the copy's length.
        spew(dir / "dst", pattern(c.ulen + 3 * s_uiextent, useed++));
        ASSERT_EQ(copyfile(dir / "src", dir / "dst", s_uiextent, log.src()), 0);
        EXPECT_TRUE(slurp(dir / "dst") == sdata);
    }
    unsigned int uicores = velka::platform::platform::get_numcpucores();
    EXPECT_NE(log.text().find("mtcopy.cpp::mtcopy::mtcopy( )  A maximum of " +
                              std::to_string(uicores == 0 ? 1 : uicores) +
                              " tasks will be created for copying the file"),
              std::string::npos);
}

TEST(Unit_Mtcopy, ExtentSizesAndOddNames) {
    tempdir dir;
    // More cores than extents (one huge extent), one-byte extents, an extent size that is not
    // a power of two, and paths the shell would mangle: no shell is involved.
    std::string sdata = pattern(3 * 4096 + 17, 7);
    std::string ssrc = dir / "s r c $(id) 'q' \"d\"\n;*";
    std::string sdest = dir / "-dest `x` \\";
    spew(ssrc, sdata);
    for (unsigned int uiextent : {1u << 30, 1u, 4095u, 4097u, 1000u}) {
        SCOPED_TRACE(uiextent);
        ASSERT_EQ(copyfile(ssrc, sdest, uiextent, nullptr), 0);
        EXPECT_TRUE(slurp(sdest) == sdata);
    }
}

TEST(Unit_Mtcopy, NewDestinationGetsMode0755LessUmask) {
    tempdir dir;
    spew(dir / "src", "x");
    mode_t uold = umask(022);
    int irc = copyfile(dir / "src", dir / "new", 4096, nullptr);
    umask(uold);
    ASSERT_EQ(irc, 0);
    struct stat st;
    ASSERT_EQ(stat((dir / "new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST(Unit_Mtcopy, FailuresBeforeCopyingThrowAndCreateNothing) {
    tempdir dir;
    spew(dir / "src", "data");
    logcapture log;
    auto expectthrow = [&](const std::string& ssrc, const std::string& sdest, unsigned int uiext,
                           const std::string& sdesc, int iret, int ierr) {
        try {
            mtcopy copy(ssrc, sdest, uiext, log.src());
            ADD_FAILURE() << "no exception for " << ssrc << " -> " << sdest;
        } catch (velka::exception::exception& e) {
            EXPECT_EQ(e.get_file(), "mtcopy.cpp");
            EXPECT_EQ(e.get_func(), "mtcopy::mtcopy");
            EXPECT_EQ(e.get_desc(), sdesc);
            EXPECT_EQ(e.get_ret(), iret);
            EXPECT_EQ(e.get_errno(), ierr);
        }
    };

    // An extent size of 0 is refused before anything is opened or created.
    expectthrow(dir / "src", dir / "d0", 0, "Extent size must be greater than 0", -1, EINVAL);
    EXPECT_NE(access((dir / "d0").c_str(), F_OK), 0);
    // A missing source, and a directory as the source: the size cannot be determined.
    expectthrow(dir / "missing", dir / "d1", 4096,
                "Failed to determine size of file " + (dir / "missing"), -1, EINVAL);
    expectthrow(dir.path(), dir / "d1", 4096, "Failed to determine size of file " + dir.path(), -1,
                EINVAL);
    EXPECT_NE(access((dir / "d1").c_str(), F_OK), 0);
    // A destination that cannot be opened.
    std::string sbad = dir / "no-such-dir/dest";
    expectthrow(dir / "src", sbad, 4096, "Failed to open file " + sbad, -1, ENOENT);
    expectthrow(dir / "src", dir.path(), 4096, "Failed to open file " + dir.path(), -1, EISDIR);

    std::string stext = log.text();
    EXPECT_NE(stext.find("Extent size must be greater than 0"), std::string::npos);
    EXPECT_NE(
        stext.find("mtcopy::mtcopy( )  Failed to determine size of the file " + (dir / "missing")),
        std::string::npos);
    EXPECT_NE(stext.find("mtcopy::mtcopy( )  Failed to open file " + sbad), std::string::npos);
}

TEST(Unit_Mtcopy, SourceIsNeverTruncatedByCopyingOntoItself) {
    tempdir dir;
    std::string sdata = pattern(5 * 4096 + 3, 11);
    spew(dir / "src", sdata);
    ASSERT_EQ(link((dir / "src").c_str(), (dir / "hardlink").c_str()), 0);
    ASSERT_EQ(symlink((dir / "src").c_str(), (dir / "symlink").c_str()), 0);
    for (const char* sdest : {"src", "hardlink", "symlink"}) {
        SCOPED_TRACE(sdest);
        try {
            mtcopy copy(dir / "src", dir / sdest, 4096, nullptr);
            ADD_FAILURE() << "copy onto itself accepted";
        } catch (velka::exception::exception& e) {
            EXPECT_EQ(e.get_errno(), EINVAL);
            EXPECT_EQ(e.get_desc(), "Source and destination are the same file " + (dir / sdest));
        }
        EXPECT_TRUE(slurp(dir / "src") == sdata);
    }
}

TEST(Unit_Mtcopy, WaitCanBeCalledAgainAndReportsTheSameResult) {
    tempdir dir;
    std::string sdata = pattern(300000, 3);
    spew(dir / "src", sdata);
    mtcopy copy(dir / "src", dir / "dst", 4096, nullptr);
    EXPECT_EQ(copy.wait(), 0);
    EXPECT_EQ(copy.wait(), 0);
    EXPECT_TRUE(slurp(dir / "dst") == sdata);
}

TEST(Unit_Mtcopy, SourceShorterThanItsSizeIsAFailure) {
    // A sysfs attribute claims 4096 bytes and holds a few: the transfer meets the end of the
    // source early, as with a file cut short during the copy. wait() reports it instead of a
    // short copy passing as complete, and the worker logs it.
    const char* ssrc = "/sys/kernel/uevent_seqnum";
    struct stat st;
    if (stat(ssrc, &st) != 0 || st.st_size != 4096) GTEST_SKIP() << "needs " << ssrc;
    tempdir dir;
    logcapture log;
    int ierr = 0;
    EXPECT_EQ(copyfile(ssrc, dir / "dst", 1024, log.src(), &ierr), -1);
    EXPECT_EQ(ierr, EIO);
    EXPECT_NE(log.text().find("mtcopy_handler( )  splice failed "), std::string::npos);
}
