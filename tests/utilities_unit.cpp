// String helpers, the quoting helper, command execution and file helpers, without root.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <velka/fileio>
#include <velka/lasterror>
#include <velka/scoped_array>
#include <velka/scoped_ptr>
#include <velka/scsi>
#include <velka/utilities>

#include "internal/utilities.h"
#include "velka_test.h"

using velka::utilities::utilities;
using velka_test::tempdir;

namespace {

std::vector<std::string> tolist(const std::list<std::string>& l) {
    return std::vector<std::string>(l.begin(), l.end());
}

// Whether one of this process's descriptors is open on spath.
bool holds(const std::string& spath) {
    std::list<std::string> lfds;
    utilities::readdir("/proc/self/fd", lfds);
    for (const auto& sfd : lfds) {
        char buf[PATH_MAX];
        ssize_t n = readlink(("/proc/self/fd/" + sfd).c_str(), buf, sizeof(buf));
        if (n > 0 && std::string(buf, static_cast<size_t>(n)) == spath) return true;
    }
    return false;
}

}  // namespace

// ---- Owning pointers ----

struct counted {
    explicit counted(int* p) : m_p(p) {}
    ~counted() {
        ++*m_p;
    }
    int* m_p;
};

TEST(Unit_ScopedPtr, ResetDeletesPreviousExactlyOnce) {
    int ideleted = 0;
    {
        velka::scoped_ptr::scoped_ptr<counted> p(new counted(&ideleted));
        p.reset(new counted(&ideleted));
        EXPECT_EQ(ideleted, 1);
        p = new counted(&ideleted);
        EXPECT_EQ(ideleted, 2);
        p.reset(p.get());  // the object already owned stays owned, not deleted
        EXPECT_EQ(ideleted, 2);
        p.reset(nullptr);
        EXPECT_EQ(ideleted, 3);
        EXPECT_EQ(p.get(), nullptr);
    }
    EXPECT_EQ(ideleted, 3);
}

TEST(Unit_ScopedPtrDeathTest, NullDereferenceNamesTheExpression) {
    velka::scoped_ptr::scoped_ptr<std::string> p(nullptr);
    EXPECT_DEATH(p->size(), "m_ptr!=__null");
}

TEST(Unit_ScopedArrayDeathTest, SizeAndIndexChecks) {
    velka::scoped_array::scoped_array<char> buf(4096);
    EXPECT_EQ(buf.max_limit(), 4096u);
    EXPECT_EQ(buf.size(), 4096u);
    buf[4095] = 'x';
    EXPECT_EQ(buf.get()[4095], 'x');
    EXPECT_DEATH(buf[-1], "i>=0");
    EXPECT_DEATH(buf[4096], "m_ui_size");
}

// ---- Trimming and conversions ----

TEST(Unit_Strings, TrimUsesOnlyFourWhiteSpaceCharacters) {
    EXPECT_EQ(utilities::trim(" \t\r\n \n"), "");
    EXPECT_EQ(utilities::trim(""), "");
    EXPECT_EQ(utilities::trim("\f"), "\f");
    EXPECT_EQ(utilities::trim("\v a b \t"), "\v a b");
    EXPECT_EQ(utilities::trim_left("  a  "), "a  ");
    EXPECT_EQ(utilities::trim_right("  a  "), "  a");
    EXPECT_EQ(utilities::trim_right("/mnt/data///", "/"), "/mnt/data");
    EXPECT_EQ(utilities::trim_right("////", "/"), "");
    EXPECT_EQ(utilities::trim_right("a-/-/", "/-"), "a");
}

TEST(Unit_Strings, NumberConversions) {
    EXPECT_EQ(utilities::strtoi("  42abc"), 42);
    EXPECT_EQ(utilities::strtoi("abc"), 0);
    EXPECT_EQ(utilities::strtoi("-7"), -7);
    EXPECT_EQ(utilities::strtoi(""), 0);
    EXPECT_EQ(utilities::strtoul("-1"), static_cast<unsigned long>(-1));
    EXPECT_EQ(utilities::strtoul("\t1000\n"), 1000ul);
    EXPECT_EQ(utilities::strtol("-9000000000"), -9000000000l);
    EXPECT_EQ(utilities::strtoui("  12 13"), 12u);
    // The unsigned conversion saturates at its own limit, not the signed one.
    EXPECT_EQ(utilities::strtoui("3000000000"), 3000000000u);
    EXPECT_EQ(utilities::strtoui("4294967295"), 4294967295u);
    EXPECT_EQ(utilities::strtoui("4294967296"), 4294967295u);
    EXPECT_EQ(utilities::strtoui("99999999999999999999"), 4294967295u);
    EXPECT_EQ(utilities::strtoui("-1"), 4294967295u);
    // Out of range text saturates instead of overflowing.
    EXPECT_EQ(utilities::strtoi("99999999999999999999"), 2147483647);
    EXPECT_EQ(utilities::strtol("99999999999999999999"), 9223372036854775807l);
    EXPECT_EQ(utilities::ultostr(18446744073709551615ul), "18446744073709551615");
    EXPECT_EQ(utilities::itostr(-2147483647 - 1), "-2147483648");
    EXPECT_EQ(utilities::uitostr(4294967295u), "4294967295");
    EXPECT_EQ(utilities::ltostr(-5), "-5");
    EXPECT_EQ(utilities::booltostr(true), "true");
    EXPECT_EQ(utilities::booltostr(false), "false");
}

TEST(Unit_Strings, NameValueSplitting) {
    std::string sname = "keep", svalue = "keep";
    EXPECT_EQ(utilities::nvpair("no colon here", sname, svalue), -1);
    EXPECT_EQ(sname, "keep");
    EXPECT_EQ(svalue, "keep");
    EXPECT_EQ(utilities::nvpair("Name : value:with:colons", sname, svalue), 0);
    EXPECT_EQ(sname, "Name");
    EXPECT_EQ(svalue, "value:with:colons");
    EXPECT_EQ(utilities::nvpair(":", sname, svalue), 0);
    EXPECT_EQ(sname, "");
    EXPECT_EQ(svalue, "");
    // The token is a set of single-character separators.
    EXPECT_EQ(utilities::nvpair_token("ip=10.0.0.1:24", sname, svalue, ":="), 0);
    EXPECT_EQ(sname, "ip");
    EXPECT_EQ(svalue, "10.0.0.1:24");
    EXPECT_EQ(utilities::nvpair_token("abc", sname, svalue, "=:"), -1);
    EXPECT_EQ(sname, "ip");
}

// Kernel command lines split as the kernel's next_arg splits them.
TEST(Unit_Strings, KernelParametersSplitAsTheKernelDoes) {
    typedef std::vector<std::pair<std::string, std::string>> params;
    const struct {
        std::string stext;
        params lwant;
    } cases[] = {
        {"password=\"pass S3cr3tTail\" quiet", {{"password", "pass S3cr3tTail"}, {"quiet", ""}}},
        {"username=adm\tpassword=S3cr3t2\n", {{"username", "adm"}, {"password", "S3cr3t2"}}},
        {" a=1  b=x=y\v\f\rc= \xa0=v", {{"a", "1"}, {"b", "x=y"}, {"c", ""}, {"=v", ""}}},
        {"\"a b=c d\" e", {{"a b", "c d"}, {"e", ""}}},
        {"x=\"a\"b y=\"open to the end", {{"x", "a\"b"}, {"y", "open to the end"}}},
        {"k=\" \"", {{"k", " "}}},
        {std::string("x=1\0y=2", 7), {{"x", "1"}}},
        {" \t\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stext);
        params lgot{{"stale", ""}};
        utilities::kernelparams(c.stext, lgot);
        EXPECT_EQ(lgot, c.lwant);
    }
}

TEST(Unit_Strings, AppendMergePresentSearch) {
    std::string sdest;
    EXPECT_EQ(utilities::append(sdest, "a", ","), "a");
    EXPECT_EQ(utilities::append(sdest, "", ","), "a");
    EXPECT_EQ(utilities::append(sdest, "b", ","), "a,b");
    std::list<std::string> l = {"a", "", "b"};
    std::string ssep = ",";
    EXPECT_EQ(utilities::merge(l, ssep), "a,b");
    std::list<std::string> lempty;
    EXPECT_EQ(utilities::merge(lempty, ssep), "");
    EXPECT_TRUE(utilities::present(l, "b"));
    EXPECT_TRUE(utilities::present(l, ""));
    EXPECT_FALSE(utilities::present(l, "c"));
    std::map<std::string, std::string> kv = {{"k", "v"}};
    std::string sval = "old";
    EXPECT_FALSE(utilities::searchkvmap(kv, "x", sval));
    EXPECT_EQ(sval, "old");
    EXPECT_TRUE(utilities::searchkvmap(kv, "k", sval));
    EXPECT_EQ(sval, "v");
    std::string sout = "junk";
    utilities::removechar("/dev/sd-a-", '-', sout);
    EXPECT_EQ(sout, "/dev/sda");
}

TEST(Unit_Strings, TokenizeNeverYieldsEmptyTokensAndKeepsInput) {
    char stext[] = ",a,,b,";
    char sdelim[] = ",";
    std::list<std::string> l = {"stale"};
    utilities::tokenize(stext, sdelim, l);
    EXPECT_EQ(tolist(l), (std::vector<std::string>{"a", "b"}));
    EXPECT_STREQ(stext, ",a,,b,");
    char sline[] = "  sda  8:0\tdisk ";
    char sws[] = " \t";
    std::vector<std::string> v;
    utilities::tokenize(sline, sws, v);
    EXPECT_EQ(v, (std::vector<std::string>{"sda", "8:0", "disk"}));
    char sonly[] = ",,,";
    utilities::tokenize(sonly, sdelim, v);
    EXPECT_TRUE(v.empty());
}

// Inputs the helpers only read take temporaries and literals, with the same results.
TEST(Unit_Strings, ReadOnlyInputsTakeTemporaries) {
    EXPECT_EQ(utilities::merge({"a", "", "b"}, ","), "a,b");
    EXPECT_EQ(utilities::merge({}, ","), "");
    EXPECT_TRUE(utilities::present({"a", "b"}, "b"));
    EXPECT_FALSE(utilities::present({}, ""));
    std::string sval;
    EXPECT_TRUE(utilities::searchkvmap({{"k", "v"}}, "k", sval));
    EXPECT_EQ(sval, "v");
    std::list<std::string> l;
    utilities::tokenize(",a,,b,", ",", l);
    EXPECT_EQ(tolist(l), (std::vector<std::string>{"a", "b"}));
    const std::list<std::string> lconst{"x", "y"};
    EXPECT_EQ(utilities::merge(lconst, std::string(" ")), "x y");
    tempdir dir;
    EXPECT_EQ(utilities::write(dir / "lines", std::list<std::string>{"one", "two"}), 0);
    EXPECT_EQ(utilities::append(dir / "lines", lconst), 0);
    EXPECT_EQ(velka_test::slurp(dir / "lines"), "one\ntwo\nx\ny\n");
}

TEST(Unit_Strings, PartitionNames) {
    // The kernel's rule: "p" between disk and number when the disk's name ends in a digit.
    struct {
        const char* sdisk;
        uint32_t uinum;
        const char* spart;
    } const cases[] = {
        {"/dev/sda", 1, "/dev/sda1"},
        {"/dev/sdaa", 15, "/dev/sdaa15"},
        {"/dev/vdb", 3, "/dev/vdb3"},
        {"/dev/nvme0n1", 2, "/dev/nvme0n1p2"},
        {"/dev/nvme12n3", 10, "/dev/nvme12n3p10"},
        {"/dev/mmcblk0", 1, "/dev/mmcblk0p1"},
        {"/dev/loop0", 1, "/dev/loop0p1"},
        {"/dev/loop17", 2, "/dev/loop17p2"},
        {"/dev/md0", 1, "/dev/md0p1"},
        {"/dev/mapper/vg-lv0", 3, "/dev/mapper/vg-lv0p3"},
        {"sdb", 0, "sdb0"},
        {"", 4, "4"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(utilities::get_partition_name(c.sdisk, c.uinum), c.spart) << c.sdisk;
}

// ---- The quoting helper ----

TEST(Unit_ShellQuote, PlainValuesStayUnchanged) {
    EXPECT_EQ(utilities::shellquote("/dev/sdb1"), "/dev/sdb1");
    EXPECT_EQ(utilities::shellquote("rw,noatime,uid=0"), "rw,noatime,uid=0");
    EXPECT_EQ(utilities::shellquote("user@host:/a_b%+.-"), "user@host:/a_b%+.-");
    EXPECT_EQ(utilities::shellquote(""), "''");
    EXPECT_EQ(utilities::shellquote("a b"), "'a b'");
    EXPECT_EQ(utilities::shellquote("it's"), "'it'\\''s'");
}

TEST(Unit_ShellQuote, OperandsThatBeginWithADashAreRefused) {
    for (std::string v : {"-a", "--all", "-", "-o rw", "-\n"}) {
        std::string s("untouched");
        EXPECT_TRUE(utilities::isoption(v));
        EXPECT_FALSE(utilities::quoteoperand(v, s));
        EXPECT_EQ(s, "untouched");
    }
    for (std::string v : {"/dev/sdb", "a-", " -a", "", "x'y"}) {
        std::string s;
        EXPECT_FALSE(utilities::isoption(v));
        EXPECT_TRUE(utilities::quoteoperand(v, s));
        EXPECT_EQ(s, utilities::shellquote(v));
    }
    velka::utilities::operands ops;
    EXPECT_EQ(ops.op("/dev/sda"), "/dev/sda");
    EXPECT_FALSE(ops.refused());
    EXPECT_EQ(ops.op("--first"), "");
    EXPECT_EQ(ops.op("-second"), "");
    EXPECT_TRUE(ops.refused());
    EXPECT_EQ(ops.value(), "--first");
}

TEST(Unit_ShellQuote, HostileValuesReachTheProgramAsOneUnchangedArgument) {
    tempdir dir;
    velka_test::fake_tools fakes;
    fakes.add("recorder", "");
    const std::vector<std::string> lvalues = {"/dev/sdb; reboot",
                                              "$(touch " + (dir / "pwned") + ")",
                                              "`touch " + (dir / "pwned") + "`",
                                              "a'b\"c",
                                              "'",
                                              "''",
                                              "line1\nline2",
                                              "*",
                                              "/*",
                                              "-rf",
                                              "--help",
                                              "a\\b",
                                              "$HOME",
                                              "~",
                                              "x&&touch " + (dir / "pwned"),
                                              "| cat",
                                              "\t",
                                              " ",
                                              "",
                                              "é ü",
                                              "!",
                                              "#comment",
                                              "a>b"};
    std::string scmd = "recorder";
    for (const auto& s : lvalues) scmd += " " + utilities::shellquote(s);
    std::string sout, serr;
    ASSERT_EQ(utilities::system(scmd, sout, serr), 0) << serr;
    auto calls = fakes.argvs();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], lvalues);
    EXPECT_FALSE(utilities::isfile(dir / "pwned"));
}

// ---- Command execution ----

TEST(Unit_System, SeparateCompleteStreamsAndExitStatus) {
    std::string sout = "x", serr = "y";
    EXPECT_EQ(utilities::system("printf 'out1\\nout2\\n'; printf 'err\\n' >&2", sout, serr), 0);
    EXPECT_EQ(sout, "out1\nout2\n");
    EXPECT_EQ(serr, "err\n");
    EXPECT_EQ(utilities::system("exit 3", sout, serr), -1);
    EXPECT_EQ(utilities::system("true", sout, serr), 0);
    EXPECT_EQ(sout, "");
    EXPECT_EQ(serr, "");
    EXPECT_EQ(utilities::system("kill -TERM $$", sout, serr), -1);
    EXPECT_EQ(utilities::system("echo text; no-such-command-velka", sout, serr), -1);
    EXPECT_EQ(sout, "text\n");
    EXPECT_NE(serr.find("not found"), std::string::npos);
    // Redirections, pipes and variables are the shell's.
    EXPECT_EQ(utilities::system("v=abc; echo $v | tr a-z A-Z", sout, serr), 0);
    EXPECT_EQ(sout, "ABC\n");
    // Binary output, NUL bytes included, comes back unmodified.
    EXPECT_EQ(utilities::system("printf 'a\\0b\\r\\n'", sout, serr), 0);
    EXPECT_EQ(sout, std::string("a\0b\r\n", 5));
}

TEST(Unit_System, LargeStandardErrorBeforeStandardOutputDoesNotHang) {
    // 8 MiB of standard error before the first byte of standard output: a reader that takes
    // standard output to its end first would wait forever on a full pipe.
    std::string sout, serr;
    ASSERT_EQ(utilities::system("head -c 8388608 /dev/zero | tr '\\0' e >&2; echo done; "
                                "head -c 3145728 /dev/zero | tr '\\0' o",
                                sout, serr),
              0);
    EXPECT_EQ(serr.size(), 8388608u);
    EXPECT_EQ(serr.find_first_not_of('e'), std::string::npos);
    EXPECT_EQ(sout.size(), 5u + 3145728u);
    EXPECT_EQ(sout.substr(0, 5), "done\n");
}

TEST(Unit_System, ChildSeesCLocaleAndCallerDoesNot) {
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    std::string sout, serr;
    EXPECT_EQ(utilities::system("printf '%s' \"$LC_ALL\"", sout, serr), 0);
    EXPECT_EQ(sout, "C");
    std::list<std::string> lout;
    EXPECT_EQ(utilities::popen("echo \"$LC_ALL\"", lout, 0), 0);
    EXPECT_EQ(tolist(lout), std::vector<std::string>{"C"});
    EXPECT_STREQ(getenv("LC_ALL"), "de_DE.UTF-8");
    unsetenv("LC_ALL");
    EXPECT_EQ(utilities::system("printf '%s' \"$LC_ALL\"", sout, serr), 0);
    EXPECT_EQ(sout, "C");
    EXPECT_EQ(getenv("LC_ALL"), nullptr);
}

TEST(Unit_Popen, TrimmedLinesEmptyLinesKept) {
    std::list<std::string> l = {"stale"};
    EXPECT_EQ(utilities::popen("printf '  a \\n\\n b\\t\\n'", l, 0), 0);
    EXPECT_EQ(tolist(l), (std::vector<std::string>{"a", "", "b"}));
    std::vector<std::string> v = {"stale"};
    EXPECT_EQ(utilities::popen("printf 'x\\n   \\ny'", v, 20), 0);
    EXPECT_EQ(v, (std::vector<std::string>{"x", "", "y"}));
    // A failing command still succeeds with whatever it printed.
    EXPECT_EQ(utilities::popen("exit 7", l, 0), 0);
    EXPECT_TRUE(l.empty());
    EXPECT_EQ(utilities::popen("no-such-command-velka 2>/dev/null", v, 0), 0);
    EXPECT_TRUE(v.empty());
    // Lines end at newlines only: a NUL byte neither ends a line nor swallows the next one.
    EXPECT_EQ(utilities::popen("printf 'a\\0b\\n\\nc\\n'", l, 0), 0);
    EXPECT_EQ(tolist(l), (std::vector<std::string>{std::string("a\0b", 3), "", "c"}));
}

TEST(Unit_Popen, LineSplittingOfABuffer) {
    struct {
        std::string stext;
        std::vector<std::string> vlines;
    } cases[] = {
        {"", {}},
        {"\n", {""}},
        {"a", {"a"}},
        {"a\n\n", {"a", ""}},
        {" x \r\n\ty\t", {"x", "y"}},
        {std::string("\0\n\0", 3), {std::string("\0", 1), std::string("\0", 1)}},
        {std::string(4095, 'z') + "\n\n", {std::string(4095, 'z'), ""}},
        {std::string(8191, 'z'), {std::string(4095, 'z'), std::string(4095, 'z'), "z"}},
    };
    for (const auto& c : cases) {
        std::list<std::string> l = {"kept"};
        utilities::splitlines(c.stext, l);
        std::vector<std::string> vexpected{"kept"};
        vexpected.insert(vexpected.end(), c.vlines.begin(), c.vlines.end());
        EXPECT_EQ(tolist(l), vexpected) << c.stext.size();
    }
}

TEST(Unit_Popen, LongLinesComeBackIn4095CharacterPieces) {
    std::list<std::string> l;
    EXPECT_EQ(utilities::popen("head -c 5000 /dev/zero | tr '\\0' x; echo; echo next", l, 0), 0);
    auto v = tolist(l);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0], std::string(4095, 'x'));
    EXPECT_EQ(v[1], std::string(905, 'x'));
    EXPECT_EQ(v[2], "next");
    // A line of exactly 4095 characters plus its newline is one element, and the newline
    // does not make an extra empty one.
    EXPECT_EQ(utilities::popen("head -c 4095 /dev/zero | tr '\\0' y; echo", l, 0), 0);
    v = tolist(l);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0], std::string(4095, 'y'));
}

TEST(Unit_Runcmd, RawWaitStatus) {
    std::string sprog = "/bin/sh";
    std::vector<std::string> args = {"-c", "exit 2"};
    EXPECT_EQ(utilities::runcmd(sprog, args), 512);
    args = {"-c", "exit 0"};
    EXPECT_EQ(utilities::runcmd(sprog, args), 0);
    std::string smissing = "/nonexistent/velka-program";
    std::vector<std::string> none;
    EXPECT_EQ(utilities::runcmd(smissing, none), 256);
    // Arguments are passed without a shell: nothing in them is interpreted.
    tempdir dir;
    std::string sprintf = "/usr/bin/printf";
    args = {"%s", "$(touch " + (dir / "x") + ")"};
    EXPECT_EQ(utilities::runcmd(sprintf, args), 0);
    EXPECT_FALSE(utilities::isfile(dir / "x"));
}

// ---- Files ----

TEST(Unit_Files, ReadWriteAppend) {
    tempdir dir;
    std::string sf = dir / "attr";
    EXPECT_EQ(utilities::read(sf), "");
    velka_test::spew(sf, "512\n");
    EXPECT_EQ(utilities::read(sf), "512");
    velka_test::spew(sf, "\nsecond line\n");
    EXPECT_EQ(utilities::read(sf), "");
    velka_test::spew(sf, "  no newline ");
    EXPECT_EQ(utilities::read(sf), "  no newline ");

    velka_test::spew(sf, "old content\nmore\n");
    EXPECT_EQ(utilities::write(sf, "new"), 0);
    EXPECT_EQ(velka_test::slurp(sf), "new\n");
    EXPECT_EQ(utilities::write(dir / "missing-dir/file", "x"), -1);

    std::list<std::string> l = {"a", "", "c"};
    std::string sapp = dir / "appended";
    EXPECT_EQ(utilities::append(sapp, l), 0);
    EXPECT_EQ(utilities::append(sapp, l), 0);
    EXPECT_EQ(velka_test::slurp(sapp), "a\n\nc\na\n\nc\n");
    EXPECT_EQ(utilities::write(sapp, l), 0);
    EXPECT_EQ(velka_test::slurp(sapp), "a\n\nc\n");
    std::list<std::string> lempty;
    EXPECT_EQ(utilities::write(sapp, lempty), 0);
    EXPECT_EQ(velka_test::slurp(sapp), "");
    EXPECT_EQ(utilities::write(dir / "no/such", l), -1);
}

TEST(Unit_Files, WriteReportsAFullDevice) {
    std::list<std::string> l(64, std::string(1024, 'z'));
    EXPECT_EQ(utilities::write("/dev/full", l), -1);
    EXPECT_EQ(utilities::write("/dev/full", "x"), -1);
}

TEST(Unit_Files, LineCountsAndLines) {
    tempdir dir;
    velka_test::spew(dir / "a", "a\nb");
    velka_test::spew(dir / "b", "a\nb\n");
    velka_test::spew(dir / "c", "");
    velka_test::spew(dir / "d", "x\n\n  y \n");
    EXPECT_EQ(utilities::numlinesinfile(dir / "a"), 2u);
    EXPECT_EQ(utilities::numlinesinfile(dir / "b"), 2u);
    EXPECT_EQ(utilities::numlinesinfile(dir / "c"), 0u);
    EXPECT_EQ(utilities::numlinesinfile(dir / "none"), 0u);
    std::list<std::string> l = {"stale"};
    EXPECT_EQ(utilities::readlinesinfile(dir / "d", l), 3u);
    EXPECT_EQ(tolist(l), (std::vector<std::string>{"x", "", "  y "}));
    EXPECT_EQ(utilities::readlinesinfile(dir / "none", l), 0u);
    EXPECT_TRUE(l.empty());
}

TEST(Unit_Files, TypeTestsFollowLinksAndReaddir) {
    tempdir dir;
    velka_test::spew(dir / "f", "12345");
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir / "f").c_str(), (dir / "lf").c_str()), 0);
    ASSERT_EQ(symlink((dir / "d").c_str(), (dir / "ld").c_str()), 0);
    EXPECT_TRUE(utilities::isfile(dir / "lf"));
    EXPECT_TRUE(utilities::isdir(dir / "ld"));
    EXPECT_FALSE(utilities::isdir(dir / "f"));
    EXPECT_FALSE(utilities::isfile(dir / "d"));
    EXPECT_FALSE(utilities::isblkdev(dir / "f"));
    EXPECT_FALSE(utilities::isblkdev("/dev/null"));
    int imaj = -5, imin = -5;
    EXPECT_FALSE(utilities::isblkdev(dir / "f", imaj, imin));
    EXPECT_EQ(imaj, -5);
    EXPECT_EQ(imin, -5);
    EXPECT_EQ(utilities::filesize(dir / "f"), 5);
    EXPECT_EQ(utilities::filesize(dir / "d"), -1);
    EXPECT_EQ(utilities::filesize(dir / "none"), -1);

    std::list<std::string> l = {"stale"};
    EXPECT_EQ(utilities::readdir(dir.path(), l), 0);
    l.sort();
    EXPECT_EQ(tolist(l), (std::vector<std::string>{"d", "f", "ld", "lf"}));
    l = {"stale"};
    EXPECT_EQ(utilities::readdir(dir / "missing", l), -1);
    EXPECT_TRUE(l.empty());
}

TEST(Unit_Millisleep, SleepsTheWholeTimeThroughSignals) {
    // A child interrupted by a stream of signals still sleeps to the end: it reports how
    // long it slept in whole tenths of a second through its exit code.
    int istatus = velka_test::run_in_child([] {
        signal(SIGUSR1, [](int) {});
        pid_t parent = getpid();
        pid_t pinger = fork();
        if (pinger == 0) {
            for (int i = 0; i < 20; ++i) {
                kill(parent, SIGUSR1);
                usleep(50000);
            }
            _exit(0);
        }
        struct timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        int irc = utilities::millisleep(1500);
        clock_gettime(CLOCK_MONOTONIC, &t1);
        waitpid(pinger, nullptr, 0);
        long lms = (t1.tv_sec - t0.tv_sec) * 1000 + (t1.tv_nsec - t0.tv_nsec) / 1000000;
        return irc == 0 && lms >= 1500 ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(istatus));
    EXPECT_EQ(WEXITSTATUS(istatus), 0);
}

// ---- fileio ----

TEST(Unit_Fileio, CompleteTransfersAndErrors) {
    tempdir dir;
    velka::fileio::fileio f;
    char buf[100];
    errno = 0;
    EXPECT_EQ(f.read(buf, 10), -1);
    EXPECT_EQ(errno, EBADFD);
    EXPECT_EQ(f.geterrno(), EBADFD);

    velka_test::spew(dir / "sixty", std::string(60, 'q'));
    ASSERT_EQ(f.open(dir / "sixty", O_RDONLY), 0);
    EXPECT_EQ(f.read(buf, 100), 60);
    EXPECT_EQ(f.read(buf, 100), 0);
    EXPECT_EQ(f.close(), 0);
    EXPECT_EQ(f.close(), 0);
    EXPECT_EQ(f.read(buf, 1), -1);

    EXPECT_EQ(f.open(dir / "missing", O_RDONLY), -1);
    EXPECT_EQ(f.geterrno(), ENOENT);

    // A pipe delivers in pieces: the read continues until the requested size.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        for (int i = 0; i < 10; ++i) {
            if (::write(fds[1], "0123456789", 10) != 10) _exit(1);
            usleep(2000);
        }
        _exit(0);
    }
    close(fds[1]);
    ASSERT_EQ(f.open("/proc/self/fd/" + std::to_string(fds[0]), O_RDONLY), 0);
    close(fds[0]);
    EXPECT_EQ(f.read(buf, 100), 100);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    EXPECT_EQ(std::string(buf + 90, 10), "0123456789");
    waitpid(pid, nullptr, 0);
    f.close();

    ASSERT_EQ(f.open("/dev/full", O_WRONLY), 0);
    EXPECT_EQ(f.write(buf, 10), -1);
    EXPECT_EQ(f.geterrno(), ENOSPC);

    ASSERT_EQ(f.open(dir / "sixty", O_WRONLY | O_TRUNC), 0);
    EXPECT_EQ(f.write(buf, 100), 100);
    f.close();
    EXPECT_EQ(utilities::filesize(dir / "sixty"), 100);
}

// ---- Descriptors ----

// Descriptors the library holds open are close-on-exec: a program that another thread starts
// meanwhile (here popen(3) of the test) inherits none of them. The file read is caught while
// open: utilities::read waits on a fifo for its line.
TEST(Unit_Descriptors, ProgramsStartedMeanwhileInheritNone) {
    tempdir dir;
    const std::string sfifo = dir / "fifo", snode = dir / "sg0";
    ASSERT_EQ(mkfifo(sfifo.c_str(), 0600), 0);
    velka_test::spew(snode, "");
    velka::scsi::sgdev dev(snode, nullptr);
    ASSERT_TRUE(dev.isopen());
    std::string sline;
    std::thread reader([&] { sline = utilities::read(sfifo); });
    int ifd = ::open(sfifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(ifd, 0);
    for (int i = 0; i < 1000 && !holds(sfifo); ++i) utilities::millisleep(10);
    std::string sfds;
    FILE* pf = ::popen("ls -l /proc/self/fd", "r");
    ASSERT_NE(pf, nullptr);
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof(buf), pf)) > 0;) sfds.append(buf, n);
    ::pclose(pf);
    ASSERT_EQ(::write(ifd, "x\n", 2), 2);
    ::close(ifd);
    reader.join();
    EXPECT_EQ(sline, "x");
    EXPECT_NE(sfds.find("/proc/"), std::string::npos) << sfds;
    for (const auto& spath : {sfifo, snode}) EXPECT_EQ(sfds.find(spath), std::string::npos) << sfds;
}

// The one runner behind system, its environment variant and popen: standard input from
// /dev/null, LC_ALL=C and the call's additions in the environment, both outputs read together
// (no stall when either pipe fills), neither pipe inherited by the command, the real exit
// status; a failure of system (127 when the shell finds no tool) is the thread's last failure,
// while popen, which reports no exit status, leaves it alone.
TEST(Unit_Runner, EntryPointsShareOneContract) {
    const std::string sbig(300000, 'o'), sbigerr(300000, 'e');
    // A script without "#!", which only a shell runs.
    tempdir dir;
    const std::string sscript = dir / "noshebang";
    velka_test::spew(sscript, "echo 'no #! line'\n", 0755);
    // Descriptors of the command's shell on the pipes of its outputs: 1 and 2 only.
    const std::string sfds =
        "for f in /proc/$$/fd/*; do readlink $f; done | grep -cF -e "
        "\"$(readlink /proc/$$/fd/1)\" -e \"$(readlink /proc/$$/fd/2)\"";
    struct row {
        std::string scmd;
        std::vector<std::string> lenv;
        std::string sout, serr;
        int istatus;
    } rows[] = {
        {"printf 'a\\n'; printf 'warn\\n' >&2; exit 3", {}, "a\n", "warn\n", 3},
        {"no-such-tool-velka arg", {}, "", "sh: 1: no-such-tool-velka: not found\n", 127},
        {"kill -TERM $$", {}, "", "", 128 + SIGTERM},
        {"printf %s \"$LC_ALL/$VELKA_A/$VELKA_B\"", {"VELKA_A=1 2", "LC_ALL=C"}, "C/1 2/", "", 0},
        {"cat; echo end", {}, "end\n", "", 0},
        {sfds, {}, "2\n", "", 0},
        {"head -c 300000 /dev/zero | tr '\\0' e >&2; head -c 300000 /dev/zero | tr '\\0' o",
         {},
         sbig,
         sbigerr,
         0},
        // Simple commands, started without a shell in front of them: the same results.
        {"/usr/bin/printf '<%s>' a  'b c' 'd'\\''e' \\x 2>/dev/null",
         {},
         "<a><b c><d'e><x>",
         "",
         0},
        {"ls /nonexistent-velka 2>&1",
         {},
         "ls: cannot access '/nonexistent-velka': No such file or directory\n",
         "",
         2},
        {"cat", {}, "", "", 0},
        {"/bin/sh -c 'echo $PPID; exit 4'", {}, std::to_string(getpid()) + "\n", "", 4},
        {sscript + " 2>/dev/null", {}, "no #! line\n", "", 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.scmd.substr(0, 60));
        const std::string sbefore = velka::last_error().m_swhat;
        std::string sout = "x", serr = "x";
        int iret = r.lenv.empty() ? utilities::system(r.scmd, sout, serr)
                                  : utilities::system(r.scmd, r.lenv, sout, serr);
        EXPECT_EQ(iret, r.istatus == 0 ? 0 : -1);
        EXPECT_EQ(sout, r.sout);
        EXPECT_EQ(serr, r.serr);
        velka::failure f = velka::last_error();
        EXPECT_EQ(f.m_swhat, r.istatus == 0 ? sbefore : r.scmd);
        if (r.istatus != 0) {
            EXPECT_EQ(f.m_sfunction, "utilities::system");
            EXPECT_EQ(f.m_istatus, r.istatus);
            EXPECT_EQ(f.m_serr, r.serr);
        }
        if (!r.lenv.empty()) continue;
        std::list<std::string> l, lexpected;
        utilities::splitlines(r.sout, lexpected);
        EXPECT_EQ(utilities::popen(r.scmd, l, 0), 0);
        EXPECT_EQ(l, lexpected);
        EXPECT_EQ(velka::last_error().m_swhat, f.m_swhat);
    }
}

// Which command lines the runner starts without a shell, and with which words: exactly those
// the shell would run as one program with these words and no other work of its own.
TEST(Unit_Runner, SimpleCommandsAreReadAsTheShellReadsThem) {
    using velka::utilities::detail::redirection;
    using velka::utilities::detail::simplecommand;
    std::vector<std::string> l;
    std::vector<redirection> lr;
    ASSERT_TRUE(simplecommand("parted  -s -m '/dev/s d'\\''x'  print 2>/dev/null", l, lr));
    EXPECT_EQ(l, (std::vector<std::string>{"parted", "-s", "-m", "/dev/s d'x", "print"}));
    ASSERT_EQ(lr.size(), 1u);
    EXPECT_EQ(lr[0].ifd, 2);
    EXPECT_EQ(lr[0].itofd, -1);
    ASSERT_TRUE(simplecommand("\tsmartctl -H a=b ''  >/dev/null 2>&1", l, lr));
    EXPECT_EQ(l, (std::vector<std::string>{"smartctl", "-H", "a=b", ""}));
    ASSERT_EQ(lr.size(), 2u);
    EXPECT_EQ(lr[1].itofd, 1);
    // clang-format off
    const std::string srejected[] = {
        "", "  ", "echo y | mkfs /dev/x", "a; b", "a && b", "a\nb", "a &", "X=1 tool",
        "tool $HOME", "tool `id`", "tool \"x\"", "tool *", "tool a?", "tool [ab]", "tool ~",
        "tool # c", "tool 2>x", "tool <in", "tool >>/dev/null", "'open", "tool \\", "(tool)",
        "{ tool; }", "echo x", "printf x", "true", "cd /", "exec tool", "kill 1", "if", "'' x",
        "tool a\\\nb", std::string("tool 'a\0b'", 10)};
    // clang-format on
    for (const auto& s : srejected) EXPECT_FALSE(simplecommand(s, l, lr)) << s;
}
