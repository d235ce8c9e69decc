// The asynchronous logger: the exact line layout, sources and LOG, the sinks, no loss under
// load, blocking on a full queue, and the flush on SIGUSR1, SIGUSR2 and SIGSEGV. No test
// measures time: a dispatch thread is held up by a FIFO nobody reads yet, and signals are
// delivered in child processes.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <velka/exception>
#include <velka/logger>
#include <velka/utilities>

#include "velka_test.h"

using namespace velka::logger;
using velka_test::tempdir;

namespace {

// Every line layout check reads times in UTC.
const bool s_butc = (setenv("TZ", "UTC", 1), tzset(), true);

std::vector<std::string> readlines(const std::string& spath) {
    std::vector<std::string> lines;
    std::ifstream ifs(spath.c_str());
    std::string sline;
    while (std::getline(ifs, sline)) lines.push_back(sline);
    return lines;
}

size_t countlines(const std::string& spath) {
    return readlines(spath).size();
}

bool endswith(const std::string& s, const std::string& stail) {
    return s.size() >= stail.size() && s.compare(s.size() - stail.size(), stail.size(), stail) == 0;
}

bool uptoinfo(log_level lvl) {
    return lvl <= lvl_info;
}

// The line as the C library formats it, for comparison.
std::string reference(
    pid_t pid, unsigned int uitid, timeval tv, const char* slevel, const char* s) {
    struct tm tmlocal;
    time_t t = tv.tv_sec;
    localtime_r(&t, &tmlocal);
    char cdate[64];
    size_t n = strftime(cdate, sizeof(cdate), "%Y-%m-%d %H:%M:%S", &tmlocal);
    snprintf(cdate + n, sizeof(cdate) - n, ".%06ld", static_cast<long>(tv.tv_usec));
    std::vector<char> line(16384);
    snprintf(line.data(), line.size(), "%0#6x %0#8x %28s %4s %s", static_cast<unsigned int>(pid),
             uitid, cdate, slevel, s);
    return line.data();
}

}  // namespace

// ---- Line layout ----

TEST(Unit_LogLine, ExactLayout) {
    ASSERT_TRUE(s_butc);
    timeval tv{1704164645, 123};  // 2024-01-02 03:04:05 UTC
    entry e(1234, static_cast<pthread_t>(0x4700), tv, lvl_err, "T");
    EXPECT_EQ(e.tostr(), "0x04d2 0x004700   2024-01-02 03:04:05.000123  ERR T");
    EXPECT_EQ(e.tostr_r(), e.tostr());
    char ctime[64];
    EXPECT_EQ(entry::timevaltostr(tv, ctime, sizeof(ctime)), 26);
    EXPECT_STREQ(ctime, "2024-01-02 03:04:05.000123");
    EXPECT_EQ(entry::tostr(lvl_err), "ERR");
    EXPECT_EQ(entry::tostr(lvl_info), "INF");
    EXPECT_EQ(entry::tostr(lvl_debug), "DBG");
    EXPECT_EQ(entry::tostr(lvl_detail), "DTL");
    EXPECT_EQ(entry::tostr(static_cast<log_level>(3)), "ERR");
    EXPECT_EQ(entry::tostr(static_cast<log_level>(-2)), "ERR");
    EXPECT_STREQ(entry().get_str(), "DEADBEEF");
}

TEST(Unit_LogLine, DispatchFormattingMatchesTheCLibrary) {
    // Edge values of every field, and seconds that change and repeat (the date part is kept
    // from one line to the next while the second stays the same).
    const pid_t pids[] = {1, 0x4d2, 0xfffff, 0x7fffffff, 0};
    const unsigned long tids[] = {0, 0x1, 0x4700, 0x7f1234567890UL, 0xffffffffUL};
    const long secs[] = {0, 1704164645, 1704164645, 1704164646, 1704164645, 4102444799L};
    const long usecs[] = {0, 5, 99999, 100000, 999999};
    const int levels[] = {-1, 0, 1, 2, 7, -9};
    const char* names[] = {"ERR", "INF", "DBG", "DTL", "ERR", "ERR"};
    int i = 0;
    for (pid_t pid : pids)
        for (unsigned long tid : tids)
            for (long sec : secs) {
                long usec = usecs[i % 5];
                int ilvl = i % 6;
                ++i;
                timeval tv{sec, usec};
                entry e(pid, static_cast<pthread_t>(tid), tv, static_cast<log_level>(levels[ilvl]),
                        "text");
                std::string sref =
                    reference(pid, static_cast<unsigned int>(tid), tv, names[ilvl], "text");
                ASSERT_EQ(e.tostr(), sref);
                ASSERT_EQ(e.tostr_r(), sref);
            }
}

// The time of a line is the time of its call, to the microsecond, and never goes back for one
// producer (it is read on another clock and turned into the wall-clock time when written).
TEST(Unit_LogLine, TimeIsThatOfTheCallAndKeepsItsOrder) {
    tempdir dir;
    std::string slog = dir / "velka.log";
    std::vector<std::pair<long long, long long>> vcalls;
    {
        core c(16);
        c.add_sink(FILE_SINK, slog);
        source src(&c, everylevel);
        for (int i = 0; i < 2000; ++i) {
            timeval tv0, tv1;
            gettimeofday(&tv0, nullptr);
            LOG(&src, "t");
            gettimeofday(&tv1, nullptr);
            vcalls.emplace_back(tv0.tv_sec * 1000000LL + tv0.tv_usec,
                                tv1.tv_sec * 1000000LL + tv1.tv_usec);
        }
    }
    std::vector<std::string> lines = readlines(slog);
    ASSERT_EQ(lines.size(), vcalls.size());
    long long llprev = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        struct tm tmline = {};
        int iusec = -1;
        ASSERT_EQ(sscanf(lines[i].c_str(), "%*x %*x %d-%d-%d %d:%d:%d.%d", &tmline.tm_year,
                         &tmline.tm_mon, &tmline.tm_mday, &tmline.tm_hour, &tmline.tm_min,
                         &tmline.tm_sec, &iusec),
                  7)
            << lines[i];
        tmline.tm_year -= 1900;
        tmline.tm_mon -= 1;
        long long llline = timegm(&tmline) * 1000000LL + iusec;
        // One microsecond either way: the clocks are read apart from each other.
        EXPECT_GE(llline, vcalls[i].first - 1) << lines[i];
        EXPECT_LE(llline, vcalls[i].second + 1) << lines[i];
        EXPECT_GE(llline, llprev) << lines[i];
        llprev = llline;
    }
}

TEST(Unit_LogLine, TextIsCutAt1023Characters) {
    timeval tv{0, 0};
    std::string s1023(1023, 'a');
    EXPECT_EQ(std::string(entry(1, 1, tv, lvl_err, s1023.c_str()).get_str()), s1023);
    std::string s1030 = s1023 + "bcdefgh";
    entry cut(1, 1, tv, lvl_err, s1030.c_str());
    EXPECT_EQ(std::string(cut.get_str()), s1023);
    entry copy(cut);
    EXPECT_EQ(std::string(copy.get_str()), s1023);
    entry assigned;
    assigned = entry(1, 1, tv, lvl_err, "short");
    EXPECT_STREQ(assigned.get_str(), "short");
}

// ---- Sources, LOG and sinks ----

// Texts read from devices and tools must not forge lines or reach the terminal raw: each
// entry is one line, its control characters visible.
TEST(Unit_Logger, FileAndConsoleGetEveryLineInOrder) {
    const std::vector<std::pair<std::string, std::string>> controls = {
        {"A\n0x1 0x2 FORGED: disk sdz wiped", "A\\n0x1 0x2 FORGED: disk sdz wiped"},
        {"cr\rover, tab\tand del\x7f", "cr\\rover, tab\\tand del\\x7f"},
        {"\x1b[31mred\x1b[0m \x01", "\\x1b[31mred\\x1b[0m \\x01"},
        {"stderr of a tool\n", "stderr of a tool"},
        {"two\n\n", "two\\n"},
        {"back\\slash, UTF-8 \xc3\xa9\xe2\x82\xac", "back\\slash, UTF-8 \xc3\xa9\xe2\x82\xac"},
    };
    std::vector<std::string> tails = {"  ERR lvm.cpp::lvm::vgcreate( )  M", "  ERR plain",
                                      "  INF kept", "  INF f.cpp::f::g( )  tagged and kept"};
    for (const auto& tc : controls) tails.push_back("  ERR " + tc.second);
    // Texts around the sizes a call copies differently, and past the 1023 characters kept.
    const std::vector<size_t> sizes = {0, 1, 3, 4, 7, 8, 15, 16, 17, 31, 32, 33, 600, 1030};
    for (size_t n : sizes) {
        std::string stagged =
            std::string(n, 'f') + "::" + std::string(n / 2, 'g') + "( )  " + std::string(n, 't');
        tails.push_back("  ERR " + stagged.substr(0, 1023));
    }
    tempdir dir;
    std::string slog = dir / "velka.log";
    ::testing::internal::CaptureStdout();
    {
        core c(8);
        c.add_sink(FILE_SINK, slog);
        c.add_sink(CONSOLE_SINK, "");
        EXPECT_FALSE(c.dispatchfailed());
        source src(&c, uptoinfo);
        LOG(&src, "lvm.cpp", "lvm::vgcreate", "M");
        LOG(&src, "plain");
        LOG(&src, lvl_debug, "filtered out");
        LOG(&src, lvl_info, "kept");
        LOG(&src, lvl_detail, "f.cpp", "f::g", "filtered out");
        LOG(&src, lvl_info, "f.cpp", "f::g", "tagged and kept");
        LOG(nullptr, "x");
        LOG(nullptr, lvl_err, "x");
        LOG(nullptr, "f", "g", "x");
        LOG(nullptr, lvl_err, "f", "g", "x");
        for (const auto& tc : controls) LOG(&src, tc.first);
        for (size_t n : sizes)
            LOG(&src, std::string(n, 'f').c_str(), std::string(n / 2, 'g').c_str(),
                std::string(n, 't'));
    }
    std::string sout = ::testing::internal::GetCapturedStdout();
    std::vector<std::string> lines = readlines(slog);
    ASSERT_EQ(lines.size(), tails.size());
    for (size_t i = 0; i < tails.size(); ++i) EXPECT_TRUE(endswith(lines[i], tails[i])) << lines[i];
    char cpid[32];
    snprintf(cpid, sizeof(cpid), "%0#6x ", static_cast<unsigned int>(getpid()));
    EXPECT_EQ(lines[0].find(cpid), 0u);
    EXPECT_EQ(sout, velka_test::slurp(slog));
}

// LOGF formats on the dispatch thread: where the arguments fit the format the text is the C
// library's; where they do not, each argument is printed by its own type, and nothing is read
// that the call did not pass.
TEST(Unit_Logger, FormattedEntriesAreTheCLibrarysTextAndSafeOtherwise) {
    std::vector<std::string> tails;
    auto ref = [&tails](const std::string& s) { tails.push_back("  ERR t.cpp::t( )  " + s); };
    char c[2048];
    int ival = 7;
    std::string sstd("std string");
    tempdir dir;
    std::string slog = dir / "velka.log";
    {
        core cr(4);
        cr.add_sink(FILE_SINK, slog);
        source src(&cr, uptoinfo);
#define BOTH(fmt, ...)                          \
    LOGF(&src, "t.cpp", "t", fmt, __VA_ARGS__); \
    snprintf(c, sizeof(c), fmt, __VA_ARGS__);   \
    ref(c)
        BOTH("%d items, %5.2f%%, %-6s|, %x %#o %+i %c", 42, 3.14159, "ab", 255u, 8u, 7, 'z');
        BOTH("%lld %llu %08.3e %G %a", -9223372036854775807LL - 1, 18446744073709551615ULL,
             12345.678, 1e-10, 0.5);
        BOTH("%hhd %hu %zu %ld %X %05d %-5d|% d", static_cast<signed char>(-3),
             static_cast<unsigned short>(65535), sizeof(c), -1L, 0xbeefu, -42, 9, 3);
        BOTH("%*d|%-*d|%.*s|%.3s|%10.4s|", 6, 42, 4, 7, 2, "abcdef", "xyzw", "abcdef");
        BOTH("%p %p %s", static_cast<void*>(&ival), static_cast<void*>(nullptr), "end");
        BOTH("%s %c", sstd.c_str(), 'q');
#undef BOTH
        LOGF(&src, "t.cpp", "t", "100%% done");
        ref("100% done");
        LOGF(&src, "t.cpp", "t", "%s and %s", sstd, std::string_view("view"));
        ref("std string and view");
        LOGF(&src, "t.cpp", "t", "%s|%d|%n|%y|%d|%", 5, "text", 1);
        ref("5|text|%n|%y|1|%");
        LOGF(&src, "t.cpp", "t", "%d and %s and %.*s", 1);
        ref("1 and %s and %.*s");
        LOGF(&src, "t.cpp", "t", "%s", "new\nline\x1b");
        ref("new\\nline\\x1b");
        LOGF(&src, "t.cpp", "t", "%99999999999d", 1);
        ref(std::string(1023 - 13, ' '));
        LOGF(&src, "t.cpp", "t", "%*d", LLONG_MIN, 5);  // clamped before it is negated
        ref("5" + std::string(1023 - 14, ' '));
        LOGF(&src, "t.cpp", "t", "%s%s", std::string(1000, 'a'), "cut");
        ref(std::string(1000, 'a'));
        LOGF(&src, lvl_debug, "t.cpp", "t", "filtered %d", 1);
        LOGF(&src, lvl_info, "t.cpp", "t", "kept %u", 2u);
        tails.push_back("  INF t.cpp::t( )  kept 2");
        LOGF(nullptr, "t.cpp", "t", "%d", 1);
    }
    std::vector<std::string> lines = readlines(slog);
    ASSERT_EQ(lines.size(), tails.size());
    for (size_t i = 0; i < tails.size(); ++i)
        EXPECT_TRUE(endswith(lines[i], tails[i])) << lines[i] << "\n" << tails[i];
}

TEST(Unit_Logger, UnopenableFileWritesNothingWhileTheConsoleWorks) {
    tempdir dir;
    ::testing::internal::CaptureStdout();
    {
        core c(4);
        c.add_sink(CONSOLE_SINK, "");
        c.add_sink(FILE_SINK, dir / "missing/velka.log");
        source src(&c, everylevel);
        LOG(&src, "one");
    }
    std::string sout = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(endswith(sout, "  ERR one\n")) << sout;
    EXPECT_FALSE(velka_test::have_tool(dir / "missing"));
}

TEST(Unit_Logger, DestroyingTheCoreWritesEveryQueuedEntry) {
    tempdir dir;
    std::string slog = dir / "velka.log";
    {
        core c(16);
        c.add_sink(FILE_SINK, slog);
        source src(&c, everylevel);
        for (int i = 0; i < 16; ++i) LOG(&src, "entry " + std::to_string(i));
    }
    std::vector<std::string> lines = readlines(slog);
    ASSERT_EQ(lines.size(), 16u);
    for (int i = 0; i < 16; ++i) EXPECT_TRUE(endswith(lines[i], " entry " + std::to_string(i)));
}

// Many cores in a row, each destroyed right after its producers filled its queue: every line
// is in the file when the destructor returns. (Each destructor returns as soon as the last
// line is written; a stop that waited for the dispatch thread's time-out would make this test
// take minutes.)
TEST(Unit_Logger, DestroyedCoresWroteEveryLine) {
    tempdir dir;
    const int icores = 60;
    const unsigned int uicapacity = 32;
    for (int k = 0; k < icores; ++k) {
        std::string slog = dir / ("velka-" + std::to_string(k) + ".log");
        {
            core c(uicapacity);
            c.add_sink(FILE_SINK, slog);
            source src(&c, everylevel);
            // k lines at first, then more than the queue holds (the producer waits for room).
            int ilines = k < 40 ? k : static_cast<int>(uicapacity) * 3;
            for (int i = 0; i < ilines; ++i) LOG(&src, lvl_debug, "line " + std::to_string(i));
        }
        std::vector<std::string> lines = readlines(slog);
        int iexpect = k < 40 ? k : static_cast<int>(uicapacity) * 3;
        ASSERT_EQ(lines.size(), static_cast<size_t>(iexpect)) << "core " << k;
        for (int i = 0; i < iexpect; ++i)
            ASSERT_TRUE(endswith(lines[i], " DBG line " + std::to_string(i))) << lines[i];
    }
}

// Each producer finds every line it logged in the file once its drain returns, while the
// others go on logging through a queue much smaller than what they log.
TEST(Unit_Logger, DrainReturnsOnceEveryEarlierLineIsInTheFile) {
    const int iproducers = 4;
    const int icount = 300;
    tempdir dir;
    std::string slog = dir / "velka.log";
    core c(8);
    c.add_sink(FILE_SINK, slog);
    source src(&c, everylevel);
    std::vector<int> vmissing(iproducers, -1);
    std::vector<std::thread> threads;
    for (int p = 0; p < iproducers; ++p)
        threads.emplace_back([&, p] {
            std::string stag = " p" + std::to_string(p) + " n";
            for (int i = 0; i < icount; ++i) LOG(&src, stag + std::to_string(i));
            c.drain();
            int ifound = 0;
            for (const std::string& sline : readlines(slog))
                ifound += sline.find(stag) != std::string::npos ? 1 : 0;
            vmissing[p] = icount - ifound;
        });
    for (auto& t : threads) t.join();
    for (int p = 0; p < iproducers; ++p) EXPECT_EQ(vmissing[p], 0) << "producer " << p;
    c.del_sink(CONSOLE_SINK);  // no dispatch thread any more: drain returns at once
    c.drain();
}

TEST(Unit_Logger, EveryLevelIsAccepted) {
    for (int i = -3; i <= 5; ++i) EXPECT_TRUE(everylevel(static_cast<log_level>(i))) << i;
}

// ---- A file sink that cannot write ----

namespace {

struct sinkcase {
    const char* sname;
    std::string spath;   // under the test's directory unless absolute
    bool bfailedatonce;  // already after add_sink
    int ierrno;          // once the lines were dispatched
};

}  // namespace

TEST(Unit_Logger, FileSinkThatCannotWriteIsReported) {
    tempdir dir;
    ASSERT_EQ(mkdir((dir / "adir").c_str(), 0755), 0);
    std::vector<sinkcase> cases = {
        {"writable file", dir / "velka.log", false, 0},
        {"missing directory", dir / "missing/velka.log", true, ENOENT},
        {"a directory", dir / "adir", true, EISDIR},
        {"file below a regular file", dir / "velka.log/x.log", true, ENOTDIR},
        {"empty path", "", true, ENOENT},
        {"device without room", "/dev/full", false, ENOSPC},
    };
    for (const sinkcase& tc : cases) {
        core c(8);
        EXPECT_FALSE(c.filesinkfailed()) << tc.sname << ": no file sink yet";
        c.add_sink(FILE_SINK, tc.spath);
        EXPECT_EQ(c.filesinkfailed(), tc.bfailedatonce) << tc.sname;
        source src(&c, everylevel);
        LOG(&src, "one line");
        c.del_sink(CONSOLE_SINK);  // stops the dispatch thread once the line is written
        EXPECT_EQ(c.filesinkfailed(), tc.ierrno != 0) << tc.sname;
        EXPECT_EQ(c.filesinkerrno(), tc.ierrno) << tc.sname << ": " << strerror(c.filesinkerrno());
        EXPECT_FALSE(c.dispatchfailed()) << tc.sname;
    }
    EXPECT_EQ(countlines(dir / "velka.log"), 1u);
}

TEST(Unit_Logger, ReplacingAFailedFileSinkClearsTheFailure) {
    tempdir dir;
    core c(4);
    c.add_sink(FILE_SINK, dir / "missing/velka.log");
    EXPECT_TRUE(c.filesinkfailed());
    c.add_sink(FILE_SINK, dir / "velka.log");
    EXPECT_FALSE(c.filesinkfailed());
    EXPECT_EQ(c.filesinkerrno(), 0);
    c.add_sink(FILE_SINK, dir / "missing/velka.log");
    c.del_sink(FILE_SINK);
    EXPECT_FALSE(c.filesinkfailed());
}

// Dispatch goes on after del_sink: the other sink gets the lines, and with none left they
// are dropped and counted; no call blocks (the alarm ends a hang).
TEST(Unit_LoggerDeathTest, RemovingASinkKeepsTheOtherWriting) {
    tempdir dir;
    std::string slog = dir / "velka.log";
    EXPECT_EXIT(
        {
            alarm(20);
            core c(4);
            c.add_sink(FILE_SINK, slog);
            c.add_sink(CONSOLE_SINK, "");
            source src(&c, everylevel);
            LOG(&src, "before");
            c.del_sink(CONSOLE_SINK);
            for (int i = 0; i < 20; ++i) LOG(&src, "after");
            c.del_sink(FILE_SINK);
            for (int i = 0; i < 20; ++i) LOG(&src, "dropped");
            c.drain();
            _exit(c.droppedlines() == 20 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(countlines(slog), 21u);
}

// Threads that keep logging while the sinks change (a data race for ThreadSanitizer before)
// and while the core is destroyed, its file a FIFO read slowly, so the queue is never found
// empty: the destructor returns, racing calls return.
TEST(Unit_LoggerDeathTest, SinksChangeAndTheCoreStopsWhileThreadsLog) {
    tempdir dir;
    std::string sfifo = dir / "fifo";
    ASSERT_EQ(mkfifo(sfifo.c_str(), 0600), 0);
    EXPECT_EXIT(
        {
            alarm(20);
            std::thread([&] {
                int ifd = open(sfifo.c_str(), O_RDONLY);
                for (char c[4096];; usleep(1000)) (void)!read(ifd, c, sizeof(c));
            }).detach();
            alignas(core) static char cspace[sizeof(core)];
            core* pc = new (cspace) core(4096);
            source src(pc, everylevel);
            std::atomic<int> icount(0);
            for (int i = 0; i < 4; ++i)
                std::thread([&] {
                    for (;;) LOGF(&src, "x.cpp", "x", "line %d", icount++);
                }).detach();
            for (int i = 0; i < 50; ++i) pc->add_sink(FILE_SINK, sfifo);
            while (icount.load() < 10000) sched_yield();
            pc->~core();
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// The core refuses queue sizes that cannot work, naming the size.
TEST(Unit_Logger, UnworkableQueueSizesAreRefused) {
    for (unsigned int ui : {0u, 4294967295u}) {
        try {
            core c(ui);
            ADD_FAILURE() << ui;
        } catch (velka::exception::exception& e) {
            EXPECT_NE(e().find(std::to_string(ui)), std::string::npos) << e();
        }
    }
}

TEST(Unit_LoggerDeathTest, NullFilterIsAnAssertion) {
    source src(nullptr, nullptr);
    EXPECT_DEATH(src.log(lvl_info, "x"), "m_pfhndlr!=__null");
    EXPECT_DEATH(LOG(&src, lvl_info, "f", "g", "x"), "m_pfhndlr!=__null");
}

// ---- No loss under load ----

namespace {

struct loadproducer {
    source* psrc;
    int iid;
    int icount;
    static void* run(void* p) {
        loadproducer* pp = static_cast<loadproducer*>(p);
        for (int i = 0; i < pp->icount; ++i)
            LOG(pp->psrc, "load.cpp", "load::run",
                "p" + std::to_string(pp->iid) + " n" + std::to_string(i));
        return nullptr;
    }
};

}  // namespace

class Unit_LoggerLoad : public ::testing::TestWithParam<unsigned int> {};

TEST_P(Unit_LoggerLoad, EveryMessageOnceAndInEachProducersOrder) {
    const int iproducers = 6;
    const int icount = 3000;
    tempdir dir;
    std::string slog = dir / "velka.log";
    {
        core c(GetParam());
        c.add_sink(FILE_SINK, slog);
        source src(&c, everylevel);
        std::vector<loadproducer> producers;
        for (int i = 0; i < iproducers; ++i) producers.push_back(loadproducer{&src, i, icount});
        std::vector<pthread_t> tids(iproducers);
        for (int i = 0; i < iproducers; ++i)
            pthread_create(&tids[i], nullptr, loadproducer::run, &producers[i]);
        for (auto tid : tids) pthread_join(tid, nullptr);
    }
    std::vector<int> next(iproducers, 0);
    size_t uilines = 0;
    for (const std::string& sline : readlines(slog)) {
        ++uilines;
        size_t upos = sline.find("load.cpp::load::run( )  p");
        ASSERT_NE(upos, std::string::npos) << sline;
        int iid = -1;
        int in = -1;
        ASSERT_EQ(sscanf(sline.c_str() + upos, "load.cpp::load::run( )  p%d n%d", &iid, &in), 2);
        ASSERT_GE(iid, 0);
        ASSERT_LT(iid, iproducers);
        ASSERT_EQ(in, next[iid]) << "producer " << iid << " out of order or duplicated";
        ++next[iid];
    }
    EXPECT_EQ(uilines, static_cast<size_t>(iproducers * icount));
    for (int i = 0; i < iproducers; ++i) EXPECT_EQ(next[i], icount);
}

INSTANTIATE_TEST_SUITE_P(Capacities, Unit_LoggerLoad, ::testing::Values(2u, 7u, 64u));

// ---- Blocking on a full queue ----

namespace {

struct blockedproducer {
    source* psrc;
    std::atomic<bool> bqueued{false};
    static void* run(void* p) {
        blockedproducer* pp = static_cast<blockedproducer*>(p);
        LOG(pp->psrc, "msg3");
        pp->bqueued.store(true);
        return nullptr;
    }
};

struct fiforeader {
    int ifd;
    std::string scontent;
    static void* run(void* p) {
        fiforeader* pr = static_cast<fiforeader*>(p);
        char cbuf[4096];
        ssize_t n;
        while ((n = read(pr->ifd, cbuf, sizeof(cbuf))) > 0)
            pr->scontent.append(cbuf, static_cast<size_t>(n));
        return nullptr;
    }
};

}  // namespace

TEST(Unit_Logger, FullQueueBlocksTheProducerUntilAnEntryIsTaken) {
    tempdir dir;
    std::string sfifo = dir / "fifo";
    ASSERT_EQ(mkfifo(sfifo.c_str(), 0600), 0);
    int ird = open(sfifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(ird, 0);
    int iwr = open(sfifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(iwr, 0);
    // Fill the pipe: the dispatch thread's first write will block.
    fcntl(iwr, F_SETPIPE_SZ, 4096);
    std::string sfill(4096, '#');
    while (write(iwr, sfill.data(), sfill.size()) > 0) {
    }
    fiforeader reader{ird, ""};
    pthread_t treader;
    {
        core c(1);
        c.add_sink(FILE_SINK, sfifo);
        close(iwr);
        fcntl(ird, F_SETFL, 0);
        source src(&c, everylevel);
        LOG(&src, "msg1");  // taken by the dispatch thread, which then blocks writing it
        LOG(&src, "msg2");  // returns once msg1 was taken: the queue is full now
        blockedproducer third{&src};
        pthread_t tid;
        pthread_create(&tid, nullptr, blockedproducer::run, &third);
        EXPECT_FALSE(third.bqueued.load());
        pthread_create(&treader, nullptr, fiforeader::run, &reader);
        pthread_join(tid, nullptr);
        EXPECT_TRUE(third.bqueued.load());
    }
    pthread_join(treader, nullptr);
    close(ird);
    size_t u1 = reader.scontent.find(" msg1\n");
    size_t u2 = reader.scontent.find(" msg2\n");
    size_t u3 = reader.scontent.find(" msg3\n");
    ASSERT_NE(u1, std::string::npos);
    ASSERT_NE(u2, std::string::npos);
    ASSERT_NE(u3, std::string::npos);
    EXPECT_LT(u1, u2);
    EXPECT_LT(u2, u3);
}

// ---- Signal flush ----

namespace {

const int s_iflushcount = 2000;

void logmany(core& c, int icount) {
    source src(&c, everylevel);
    for (int i = 0; i < icount; ++i) LOG(&src, "sig.cpp", "sig::run", "line " + std::to_string(i));
}

std::string& ownhandlerlog() {
    static std::string s;
    return s;
}

// The program's own earlier handler: reports whether every line was already in the file.
// Only async-signal-safe calls: the lines are counted with read(2).
void ownhandler(int) {
    int ifd = open(ownhandlerlog().c_str(), O_RDONLY | O_CLOEXEC);
    if (ifd < 0) _exit(1);
    char cbuf[4096];
    size_t ulines = 0;
    ssize_t n;
    while ((n = read(ifd, cbuf, sizeof(cbuf))) > 0) {
        for (ssize_t i = 0; i < n; ++i) ulines += cbuf[i] == '\n' ? 1 : 0;
    }
    close(ifd);
    _exit(ulines == static_cast<size_t>(s_iflushcount) ? 42 : 1);
}

pid_t otherthread() {
    pid_t iself = static_cast<pid_t>(syscall(SYS_gettid));
    DIR* pd = opendir("/proc/self/task");
    pid_t ifound = 0;
    while (struct dirent* pe = readdir(pd)) {
        pid_t itid = atoi(pe->d_name);
        if (itid > 0 && itid != iself) ifound = itid;
    }
    closedir(pd);
    return ifound;
}

}  // namespace

TEST(Unit_LoggerDeathTest, SigusrFlushesEveryQueuedEntryThenEndsTheProcess) {
    for (int sig : {SIGUSR1, SIGUSR2}) {
        tempdir dir;
        std::string slog = dir / "velka.log";
        EXPECT_EXIT(
            {
                core c(s_iflushcount);
                c.add_sink(FILE_SINK, slog);
                logmany(c, s_iflushcount);
                raise(sig);
            },
            ::testing::KilledBySignal(sig), "");
        EXPECT_EQ(countlines(slog), static_cast<size_t>(s_iflushcount));
    }
}

// A sanitizer takes the fault over once the previous disposition is back, reports it and
// exits with a status of its own; the flush before it is what counts here.
bool diedofsegv(int istatus) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return !WIFEXITED(istatus) || WEXITSTATUS(istatus) != 0;
#else
    return WIFSIGNALED(istatus) && WTERMSIG(istatus) == SIGSEGV;
#endif
}

TEST(Unit_LoggerDeathTest, SegvFlushesEveryQueuedEntryThenDies) {
    tempdir dir;
    std::string slog = dir / "velka.log";
    EXPECT_EXIT(
        {
            struct rlimit rl;
            rl.rlim_cur = rl.rlim_max = 0;
            setrlimit(RLIMIT_CORE, &rl);
            core c(64);
            c.add_sink(FILE_SINK, slog);
            logmany(c, 500);
            raise(SIGSEGV);
        },
        diedofsegv, "");
    EXPECT_EQ(countlines(slog), 500u);
}

TEST(Unit_LoggerDeathTest, ProgramHandlerRunsAfterTheFlush) {
    tempdir dir;
    std::string slog = dir / "velka.log";
    ownhandlerlog() = slog;
    EXPECT_EXIT(
        {
            struct sigaction own;
            memset(&own, 0, sizeof(own));
            own.sa_handler = ownhandler;
            sigaction(SIGUSR1, &own, nullptr);
            core c(s_iflushcount);
            c.add_sink(FILE_SINK, slog);
            logmany(c, s_iflushcount);
            raise(SIGUSR1);
        },
        ::testing::ExitedWithCode(42), "");
}

TEST(Unit_LoggerDeathTest, SignalOnTheDispatchThreadWritesTheRestItself) {
    tempdir dir;
    std::string slog = dir / "velka.log";
    EXPECT_EXIT(
        {
            core c(s_iflushcount);
            c.add_sink(FILE_SINK, slog);
            logmany(c, s_iflushcount);
            syscall(SYS_tgkill, getpid(), otherthread(), SIGUSR1);
            for (;;) pause();
        },
        ::testing::KilledBySignal(SIGUSR1), "");
    EXPECT_EQ(countlines(slog), static_cast<size_t>(s_iflushcount));
}

namespace {

// Producers that log until the process ends; the first one counts what it has logged so far.
// Until the signal is sent, the second one keeps within 100 lines of the first, so that it
// cannot reach its end however the two are scheduled.
struct endlessproducer {
    source* psrc;
    int iid;
    std::atomic<int>* pcount;
    std::atomic<bool>* psignalled;
    static void* run(void* p) {
        endlessproducer* pp = static_cast<endlessproducer*>(p);
        // A long text keeps the producer inside a call, building its entry, for longer.
        // The count is bounded so that a flush that never ends cannot fill the disk.
        const std::string spad(300, 'x');
        for (int i = 0; i < 50000; ++i) {
            while (pp->iid == 1 && !pp->psignalled->load() && i > pp->pcount->load() + 100)
                sched_yield();
            LOG(pp->psrc, "load.cpp", "load::run",
                "p" + std::to_string(pp->iid) + " n" + std::to_string(i) + " " + spad);
            if (pp->iid == 0) pp->pcount->store(i + 1);
        }
        return nullptr;
    }
};

// Logs from two endless producers, then signals the first one once it has logged ithreshold
// messages.
void signalbusyproducer(const std::string& slog, int ithreshold) {
    core c(64);
    c.add_sink(FILE_SINK, slog);
    source src(&c, everylevel);
    std::atomic<int> icount(0);
    std::atomic<bool> bsignalled(false);
    endlessproducer p0{&src, 0, &icount, &bsignalled};
    endlessproducer p1{&src, 1, &icount, &bsignalled};
    pthread_t t0, t1;
    pthread_create(&t0, nullptr, endlessproducer::run, &p0);
    pthread_create(&t1, nullptr, endlessproducer::run, &p1);
    while (icount.load() < ithreshold) sched_yield();
    bsignalled.store(true);
    pthread_kill(t0, SIGUSR1);
    for (;;) pause();
}

}  // namespace

// A signal sent to a producer thread may land while it is building its entry in the queue,
// and another producer goes on logging meanwhile: its calls return although the interrupted
// entry is not ready. The flush must neither wait for that entry nor stop at it, nor chase a
// queue that keeps filling: every entry queued before the signal reaches the file, and the
// process ends by the signal. Repeated, so that some of the signals land inside a call.
TEST(Unit_LoggerDeathTest, SignalOnABusyProducerFlushesWithoutDeadlock) {
    for (int iround = 0; iround < 16; ++iround) {
        SCOPED_TRACE(iround);
        tempdir dir;
        std::string slog = dir / "velka.log";
        EXPECT_EXIT(signalbusyproducer(slog, 300 + iround * 37), ::testing::KilledBySignal(SIGUSR1),
                    "");
        // Each producer's messages are there from the first one on, in order, without a gap.
        std::vector<int> next(2, 0);
        for (const std::string& sline : readlines(slog)) {
            size_t upos = sline.find("load.cpp::load::run( )  p");
            ASSERT_NE(upos, std::string::npos) << sline;
            int iid = -1, in = -1;
            ASSERT_EQ(sscanf(sline.c_str() + upos, "load.cpp::load::run( )  p%d n%d", &iid, &in),
                      2);
            ASSERT_TRUE(iid == 0 || iid == 1);
            ASSERT_EQ(in, next[iid]) << "producer " << iid;
            ++next[iid];
        }
        EXPECT_GE(next[0], 300 + iround * 37 - 1);
        // The flush ends the log: the other producer did not go on logging to its end.
        EXPECT_LT(next[1], 50000);
    }
}

namespace {

volatile sig_atomic_t s_ireopens = 0;

void reopenhandler(int) {
    ++s_ireopens;
}

}  // namespace

// A program that reopens its logs on SIGUSR1 (a handler that returns) goes on logging after
// the flush: a signal on a busy producer, more lines after it, none lost, all in order.
TEST(Unit_LoggerDeathTest, LoggingGoesOnAfterASignalTheProgramHandles) {
    tempdir dir;
    std::string slog = dir / "velka.log";
    EXPECT_EXIT(
        {
            struct sigaction own;
            memset(&own, 0, sizeof(own));
            own.sa_handler = reopenhandler;
            sigaction(SIGUSR1, &own, nullptr);
            core c(64);
            c.add_sink(FILE_SINK, slog);
            source src(&c, everylevel);
            std::atomic<int> icount(0);
            std::atomic<bool> bsent(false);
            std::thread producer([&] {
                for (int i = 0; i < 3000; ++i) {
                    while (i == 600 && !bsent.load()) sched_yield();
                    LOG(&src, "p0 n" + std::to_string(i));
                    icount.store(i + 1);
                }
            });
            while (icount.load() < 500) sched_yield();
            pthread_kill(producer.native_handle(), SIGUSR1);
            bsent.store(true);
            producer.join();
            for (int i = 0; i < 100; ++i) LOG(&src, "p1 n" + std::to_string(i));
            c.drain();
            _exit(s_ireopens == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    std::vector<int> next(2, 0);
    for (const std::string& sline : readlines(slog)) {
        int iid = -1, in = -1;
        ASSERT_EQ(sscanf(sline.c_str() + sline.find(" ERR p") + 6, "%d n%d", &iid, &in), 2);
        ASSERT_EQ(in, next[iid]) << sline;
        ASSERT_TRUE(iid == 0 || next[0] == 3000) << "a line of the main thread before the end";
        ++next[iid];
    }
    EXPECT_EQ(next[0], 3000);
    EXPECT_EQ(next[1], 100);
}

// ---- No dispatch thread ----

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {

// Runs in a freshly started copy of the test program (no stack of an earlier thread is
// cached for reuse), with no address space left for a thread stack.
int logwithoutthread(const std::string& slog) {
    std::string sstatus = velka_test::slurp("/proc/self/status");
    size_t upos = sstatus.find("VmSize:");
    if (upos == std::string::npos) return 10;
    unsigned long ulkb = strtoul(sstatus.c_str() + upos + 7, nullptr, 10);
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = (ulkb + 2048) * 1024;
    if (setrlimit(RLIMIT_AS, &rl) != 0) return 11;
    {
        core c(2);
        if (!c.dispatchfailed()) return 12;
        if (c.dispatcherror().empty()) return 13;
        c.add_sink(FILE_SINK, slog);
        logmany(c, 10);  // more than the queue holds: nothing blocks
        source src(&c, everylevel);
        LOGF(&src, "f.cpp", "f", "formatted %s %d", "here", 11);
    }
    std::vector<std::string> lines = readlines(slog);
    if (lines.size() != 11u) return 14;
    return endswith(lines[10], "ERR f.cpp::f( )  formatted here 11") ? 0 : 15;
}

}  // namespace
#endif

TEST(Unit_LoggerDeathTest, WithoutADispatchThreadProducersWriteThemselves) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address-space limit cannot be combined with a sanitizer";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    tempdir dir;
    std::string slog = dir / "velka.log";
    // The copy checks the file itself (its temporary directory is its own, and it removes
    // it before it exits, since _exit runs no destructor).
    EXPECT_EXIT(
        {
            int irc = logwithoutthread(slog);
            velka_test::sh("rm -rf " + velka::utilities::utilities::shellquote(dir.path()));
            _exit(irc);
        },
        ::testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, "fast");
#endif
}

// ---- Forked children, a bounded signal flush ----

// A child forked by a program with a core writes its own lines (more than the queue holds),
// and its signal flush ends: the child dies of the signal instead of hanging.
TEST(Unit_LoggerDeathTest, AForkedChildWritesItsOwnLinesAndItsFlushEnds) {
    tempdir dir;
    std::string slog = dir / "velka.log";
    EXPECT_EXIT(
        {
            alarm(20);
            core c(8);
            c.add_sink(FILE_SINK, slog);
            source src(&c, everylevel);
            LOG(&src, "parent");
            c.drain();
            pid_t pid = fork();
            if (pid == 0) {
                alarm(20);
                for (int i = 0; i < 100; ++i) LOGF(&src, "f.cpp", "f", "child %d", i);
                raise(SIGUSR1);
                _exit(3);
            }
            int istatus = 0;
            waitpid(pid, &istatus, 0);
            c.drain();
            bool bended = WIFSIGNALED(istatus) && WTERMSIG(istatus) == SIGUSR1;
#if defined(__SANITIZE_THREAD__)
            // ThreadSanitizer holds a signal raised in a forked child: the flush ended all
            // the same.
            bended = bended || (WIFEXITED(istatus) && WEXITSTATUS(istatus) == 3);
#endif
            _exit(bended ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    std::vector<std::string> lines = readlines(slog);
    ASSERT_EQ(lines.size(), 101u);
    EXPECT_TRUE(endswith(lines[100], "f.cpp::f( )  child 99"));
}

// A dispatch thread stuck writing to a console nobody reads: the signal flush waits about 2 s,
// says on the file's last line how many lines it could not reach, and the signal goes on.
TEST(Unit_LoggerDeathTest, SignalFlushWaitsAtMostTwoSeconds) {
    tempdir dir;
    std::string slog = dir / "velka.log";
    EXPECT_EXIT(
        {
            alarm(20);
            int fds[2];
            if (pipe(fds) != 0 || dup2(fds[1], STDOUT_FILENO) < 0) _exit(1);
            core c(4096);
            c.add_sink(FILE_SINK, slog);
            c.add_sink(CONSOLE_SINK, "");
            logmany(c, 3000);  // far more than the pipe takes
            usleep(500000);    // the dispatch thread fills the pipe and waits in write(2)
            raise(SIGUSR1);
        },
        ::testing::KilledBySignal(SIGUSR1), "");
    std::vector<std::string> lines = readlines(slog);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find(" queued lines lost: not written within 2 s"), std::string::npos);
}

// ---- One entry, one harmless line ----

TEST(Unit_Logger, HostileBytesAreWrittenVisiblyInFileAndConsole) {
    const std::vector<std::pair<std::string, std::string>> table = {
        {"\xc2\x9b[2J \xc2\x85 \x9b[2J", "\\u009b[2J \\u0085 \\x9b[2J"},  // C1, UTF-8 and raw
        {"a\xe2\x80\xa8"
         "b\xe2\x80\xa9",
         "a\\u2028b\\u2029"},
        {"\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9", "\\u202a\\u202e\\u2066\\u2069"},
        {"\xff\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80",
         "\\xff\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80"},
        {"cut \xe2\x80", "cut \\xe2\\x80"},
        {std::string("a\0b\0", 4) + "rest", "a\\x00b\\x00rest"},
        {"\xc3\xbc \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \\x41",
         "\xc3\xbc \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \\x41"},
    };
    tempdir dir;
    std::string slog = dir / "velka.log";
    ::testing::internal::CaptureStdout();
    {
        core c(64);
        c.add_sink(FILE_SINK, slog);
        c.add_sink(CONSOLE_SINK, "");
        source src(&c, everylevel);
        for (const auto& row : table) {
            LOG(&src, row.first);
            LOGF(&src, nullptr, nullptr, "%s", row.first);
        }
    }
    std::istringstream console(::testing::internal::GetCapturedStdout());
    std::vector<std::string> lines = readlines(slog);
    ASSERT_EQ(lines.size(), 2 * table.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string sout;
        std::getline(console, sout);
        EXPECT_EQ(sout, lines[i]);
        EXPECT_TRUE(endswith(lines[i], " ERR " + table[i / 2].second)) << lines[i];
    }
}

// ---- dlopen ----

// A module loaded with dlopen logs through the library, and neither needs the static TLS
// block, which a library loaded late may find full.
TEST(Unit_Logger, AModuleLoadedWithDlopenLogs) {
    tempdir dir;
    std::string slog = dir / "velka.log";
    {
        core c(8);
        c.add_sink(FILE_SINK, slog);
        source src(&c, everylevel);
        void* ph = dlopen(VELKA_DLMODULE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(ph, nullptr) << dlerror();
        auto plogfrom = reinterpret_cast<void (*)(source*)>(dlsym(ph, "velka_dlmodule_log"));
        ASSERT_NE(plogfrom, nullptr);
        plogfrom(&src);
        int istatic = 0;
        dl_iterate_phdr(
            [](dl_phdr_info* pi, size_t, void* p) {
                if (!strstr(pi->dlpi_name, "velka") && !strstr(pi->dlpi_name, "dlmodule")) return 0;
                for (int i = 0; i < pi->dlpi_phnum; ++i) {
                    if (pi->dlpi_phdr[i].p_type != PT_DYNAMIC) continue;
                    auto pd = reinterpret_cast<const ElfW(Dyn)*>(pi->dlpi_addr +
                                                                 pi->dlpi_phdr[i].p_vaddr);
                    for (; pd->d_tag != DT_NULL; ++pd)
                        if (pd->d_tag == DT_FLAGS && (pd->d_un.d_val & DF_STATIC_TLS) != 0)
                            ++*static_cast<int*>(p);
                }
                return 0;
            },
            &istatic);
        EXPECT_EQ(istatic, 0) << "an object of the library or the module needs static TLS";
        dlclose(ph);
    }
    std::vector<std::string> lines = readlines(slog);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(endswith(lines[1], "m.cpp::m( )  from the module 2"));
}
