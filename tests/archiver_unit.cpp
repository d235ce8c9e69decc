// Parallel archiver with the real tar, without root: round trips that keep contents, modes,
// ACLs and extended attributes; failing, invalid and hostile list lines; list files that
// are empty, short, unterminated or missing. A recording fake tar shows the exact arguments.
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/archiver>
#include <velka/logger>
#include <velka/platform>
#include <velka/utilities>

#include "internal/archiver.h"

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

unsigned int cores() {
    unsigned int ui = velka::platform::platform::get_numcpucores();
    return ui == 0 ? 1 : ui;
}

std::string q(const std::string& s) {
    return utilities::shellquote(s);
}

// Everything tar keeps of a tree, as text: per path its type, mode, content, ACL and user
// extended attributes, sorted by path. Two trees with the same description match.
std::string describe(const std::string& sroot) {
    std::string sout;
    sh("cd " + q(sroot) +
           " && find . -mindepth 1 | LC_ALL=C sort | while IFS= read -r p; do "
           "stat -c '%n %F %a' \"$p\"; "
           "if [ -f \"$p\" ]; then md5sum < \"$p\"; fi; "
           "if [ ! -L \"$p\" ]; then getfacl -c -p \"$p\" 2>/dev/null; "
           "getfattr -d -m '^user\\.' --absolute-names \"$p\" 2>/dev/null | grep -v '^#'; "
           "fi; done",
       &sout);
    return sout;
}

// A small tree with two modes, a subdirectory, a symbolic link, an ACL and an extended
// attribute. false when the filesystem refuses ACLs or user attributes.
bool maketree(const std::string& sroot, const std::string& stag) {
    if (sh("mkdir -p " + q(sroot + "/sub")) != 0) return false;
    spew(sroot + "/a.txt", "alpha " + stag + "\n", 0640);
    spew(sroot + "/sub/run.sh", "#!/bin/sh\necho " + stag + "\n", 0750);
    spew(sroot + "/sub/big.bin", std::string(200000, 'x') + stag, 0600);
    if (symlink("a.txt", (sroot + "/link").c_str()) != 0) return false;
    return sh("setfacl -m u:12345:r " + q(sroot + "/a.txt") + " 2>/dev/null") == 0 &&
           sh("setfattr -n user.velka -v " + q(stag) + " " + q(sroot + "/sub/run.sh") +
              " 2>/dev/null") == 0;
}

}  // namespace

TEST(Unit_Archiver, CreateAndExtractRoundTripsKeepEverything) {
    VELKA_REQUIRE_TOOL("tar");
    VELKA_REQUIRE_TOOL("setfacl");
    VELKA_REQUIRE_TOOL("setfattr");
    tempdir dir;
    const char* stags[] = {"one", "two", "three"};
    std::string screate, sextract;
    for (const char* stag : stags) {
        std::string stree = dir / (std::string("tree-") + stag);
        if (!maketree(stree, stag)) GTEST_SKIP() << "no ACLs or user attributes on " << dir.path();
        // A third word is ignored.
        screate += stree + "\t" + dir / (std::string(stag) + ".tar.gz") + "  ignored\n";
        sextract +=
            dir / (std::string(stag) + ".tar.gz") + " " + dir / (std::string("out-") + stag) + "\n";
        ASSERT_EQ(sh("mkdir " + q(dir / (std::string("out-") + stag))), 0);
    }
    spew(dir / "create.list", screate);
    spew(dir / "extract.list", sextract);

    logcapture log;
    archiver arch(log.src());
    ASSERT_EQ(arch.creategziparchive(dir / "create.list"), 0);
    ASSERT_EQ(arch.extractgziparchive(dir / "extract.list"), 0);
    for (const char* stag : stags) {
        SCOPED_TRACE(stag);
        std::string stree = dir / (std::string("tree-") + stag);
        // tar drops the leading "/" of member names: the tree comes back under its full path.
        std::string sback = dir / (std::string("out-") + stag) + stree;
        std::string sorig = describe(stree);
        EXPECT_TRUE(contains(sorig, "user:12345:r--"));
        EXPECT_TRUE(contains(sorig, std::string("user.velka=\"") + stag + "\""));
        EXPECT_EQ(describe(sback), sorig);
    }

    std::string stext = log.text();
    EXPECT_TRUE(contains(stext, "archiver.cpp::archiver::archiver( )  A maximum of " +
                                    std::to_string(cores()) +
                                    " tasks will be created for creating the archive "));
    EXPECT_TRUE(
        contains(stext, "archiver::creategziparchive( )  Input file: " + (dir / "create.list")));
    EXPECT_TRUE(contains(stext, "archiver::process( )  " + std::to_string(std::min(cores(), 3u)) +
                                    " tasks will be created for processing " +
                                    (dir / "create.list")));
    EXPECT_TRUE(contains(stext, "creategzippedtar( )  Will process entry " + dir / "tree-one"));
    EXPECT_TRUE(contains(stext,
                         "creategzippedtar( )  0 | will create tar using command | "
                         "tar --force-local --acls --xattrs -p -zcf "));
    EXPECT_TRUE(contains(stext, " | completed processing | " + dir / "two.tar.gz"));
    EXPECT_TRUE(
        contains(stext, "Successfully compressed contents of input file " + (dir / "create.list")));
    EXPECT_TRUE(contains(stext,
                         "extractgziparchive( )  0 | will extract tar using command | "
                         "tar --force-local --acls --xattrs --warning=none -p -zxf "));
    EXPECT_TRUE(contains(stext, " | completed processing | " + dir / "three.tar.gz"));
    EXPECT_TRUE(
        contains(stext, "Successfully extracted contents of input file " + (dir / "extract.list")));
}

TEST(Unit_Archiver, FailedJobsLeaveTheOthersRunningAndNameTheLowestWorker) {
    VELKA_REQUIRE_TOOL("tar");
    tempdir dir;
    ASSERT_EQ(sh("mkdir " + q(dir / "tree") + " && echo x > " + q(dir / "tree/f")), 0);
    // One job fails (its input is missing); the others all complete.
    std::string slist = dir / "missing" + " " + dir / "bad.tar.gz" + "\n";
    for (int i = 0; i < 4; ++i)
        slist += dir / "tree" + " " + dir / ("good" + std::to_string(i) + ".tar.gz") + "\n";
    spew(dir / "list", slist);
    {
        logcapture log;
        archiver arch(log.src());
        EXPECT_EQ(arch.creategziparchive(dir / "list"), -1);
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(sh("tar -tzf " + q(dir / ("good" + std::to_string(i) + ".tar.gz")) +
                         " >/dev/null 2>&1"),
                      0);
        }
        std::string stext = log.text();
        EXPECT_TRUE(contains(stext, "Failed to create tar " + dir / "bad.tar.gz" + " error: "));
        EXPECT_TRUE(contains(stext, "Cannot stat"));
        // The worker that took the failing line is the one named.
        size_t upos = stext.find(" | will create tar using command | ");
        std::string sworker;
        for (; upos != std::string::npos;
             upos = stext.find(" | will create tar using command | ", upos + 1)) {
            size_t ueol = stext.find('\n', upos);
            if (contains(stext.substr(upos, ueol - upos), dir / "bad.tar.gz")) {
                size_t ustart = stext.rfind("  ", upos);
                sworker = stext.substr(ustart + 2, upos - ustart - 2);
            }
        }
        ASSERT_FALSE(sworker.empty());
        EXPECT_TRUE(contains(stext, "archiver::process( )  task " + sworker + " failed "));
        EXPECT_TRUE(contains(stext, "Failed to compress contents of input file " + dir / "list"));
    }

    // Every worker fails on its first line: the lowest index is named, and only it.
    if (cores() >= 2) {
        spew(dir / "list2", dir / "missing1" + " " + dir / "x1.tar.gz\n" + dir / "missing2" + " " +
                                dir / "x2.tar.gz\n");
        logcapture log;
        archiver arch(log.src());
        EXPECT_EQ(arch.process(dir / "list2", velka::archiver::creategzippedtar), -1);
        std::string stext = log.text();
        EXPECT_TRUE(contains(stext, "task 0 failed "));
        EXPECT_FALSE(contains(stext, "task 1 failed "));
    }

    // A lambda as the job: each line reaches it once; a job that fails makes process fail.
    {
        std::mutex m;
        std::multiset<std::string> sseen;
        archiver arch(nullptr);
        auto job = [&](const std::string& sline, unsigned int uiworker) {
            std::lock_guard<std::mutex> guard(m);
            EXPECT_LT(uiworker, cores());
            sseen.insert(sline);
            return contains(sline, "bad.tar.gz") ? 1 : 0;
        };
        spew(dir / "list4", "a\nb\nc\nd\n");
        EXPECT_EQ(arch.process(dir / "list4", job), 0);
        EXPECT_EQ(sseen, (std::multiset<std::string>{"a", "b", "c", "d"}));
        EXPECT_EQ(arch.process(dir / "list", job), -1);
        EXPECT_EQ(sseen.count(dir / "missing" + " " + dir / "bad.tar.gz"), 1u);
    }

    // A broken archive fails extraction.
    spew(dir / "broken.tar.gz", "not gzip at all");
    ASSERT_EQ(sh("mkdir " + q(dir / "out")), 0);
    spew(dir / "list3", dir / "broken.tar.gz" + " " + dir / "out" + "\n");
    logcapture log;
    archiver arch(log.src());
    EXPECT_EQ(arch.extractgziparchive(dir / "list3"), -1);
    std::string stext = log.text();
    EXPECT_TRUE(contains(stext, "extractgziparchive( )  Failed to extract tar " +
                                    dir / "broken.tar.gz" + " error: "));
    EXPECT_TRUE(contains(stext, "Failed to extract contents of input file " + dir / "list3"));
}

TEST(Unit_Archiver, ListFileShapes) {
    VELKA_REQUIRE_TOOL("tar");
    tempdir dir;
    ASSERT_EQ(sh("mkdir " + q(dir / "tree") + " && echo x > " + q(dir / "tree/f")), 0);

    // An empty list starts no worker and succeeds.
    spew(dir / "empty", "");
    {
        logcapture log;
        archiver arch(log.src());
        EXPECT_EQ(arch.creategziparchive(dir / "empty"), 0);
        EXPECT_TRUE(
            contains(log.text(), "0 tasks will be created for processing " + dir / "empty"));
    }
    // One line: one worker, whatever the core count. Its last line has no newline and is a
    // job all the same.
    spew(dir / "one", dir / "tree" + " " + dir / "one.tar.gz");
    {
        logcapture log;
        archiver arch(log.src());
        EXPECT_EQ(arch.creategziparchive(dir / "one"), 0);
        EXPECT_EQ(sh("tar -tzf " + q(dir / "one.tar.gz") + " >/dev/null 2>&1"), 0);
        std::string stext = log.text();
        EXPECT_TRUE(contains(stext, "1 tasks will be created for processing " + dir / "one"));
        EXPECT_FALSE(contains(stext, "1 | will create tar"));
    }
    // A line with a single word, a blank line, and a missing list, and a directory as the
    // list: each fails, none runs tar.
    struct {
        const char* sname;
        std::string scontent;
        const char* slog;
    } cases[] = {
        {"single", dir / "tree" + "\n", "Invalid input file "},
        {"blank", "\n", "Invalid input file "},
        {"missing", "", "Failed to open input file "},
        {"dir", "", "Failed to open input file "},
    };
    ASSERT_EQ(sh("mkdir " + q(dir / "dir")), 0);
    logcapture log;
    archiver arch(log.src());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sname);
        if (std::string(c.sname) == "single" || std::string(c.sname) == "blank")
            spew(dir / c.sname, c.scontent);
        EXPECT_EQ(arch.creategziparchive(dir / c.sname), -1);
    }
    std::string stext = log.text();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sname);
        EXPECT_TRUE(contains(stext, c.slog));
        EXPECT_TRUE(contains(stext, "Failed to compress contents of input file " + dir / c.sname));
    }
    EXPECT_FALSE(contains(stext, "will create tar using command"));
}

TEST(Unit_Archiver, ListWordsReachTarAsSingleArguments) {
    tempdir dir;
    velka_test::fake_tools fakes;
    fakes.add("tar", "");
    // Shell syntax in the words arrives literally, one argument per word; nothing else runs.
    std::string sevil1 = dir / "a$(touch${IFS}pwned1)`touch${IFS}pwned2`;touch${IFS}pwned3|x&*";
    std::string sevil2 = dir / "q'uo\"te\\.tar.gz";
    spew(dir / "create", sevil1 + " " + sevil2 + "\n");
    spew(dir / "extract", sevil2 + "\t" + sevil1 + "\n");
    // Words that tar would read as options are refused before tar runs.
    spew(dir / "options", "--to-command=id " + dir / "x.tar.gz\n" + dir / "tree -\n");

    // The commands run in the temporary directory, where a file the shell created would land.
    char* pold = getcwd(nullptr, 0);
    ASSERT_NE(pold, nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    archiver arch(nullptr);
    EXPECT_EQ(arch.creategziparchive(dir / "create"), 0);
    EXPECT_EQ(arch.extractgziparchive(dir / "extract"), 0);
    EXPECT_EQ(arch.creategziparchive(dir / "options"), -1);
    EXPECT_EQ(arch.extractgziparchive(dir / "options"), -1);
    EXPECT_EQ(chdir(pold), 0);
    free(pold);
    for (const char* s : {"pwned1", "pwned2", "pwned3"})
        EXPECT_NE(access((dir / s).c_str(), F_OK), 0) << s;

    std::vector<std::string> vcreate = {"--force-local", "--acls", "--xattrs", "-p",
                                        "-zcf",          sevil2};
    for (const char* sexclude : {"/usr/local/include",
                                 "/usr/include",
                                 "/usr/src/glusterfs",
                                 "/usr/share/doc",
                                 "/usr/share/ovirt-engine-appliance",
                                 "/usr/share/rhv-guest-tools-iso",
                                 "/root/.ssh",
                                 "/root/.bash_history",
                                 "/root/.viminfo",
                                 "/var/lib/dhclient/*",
                                 "/var/log/audit/*",
                                 "/var/log/anaconda/*",
                                 "/var/log/messages*",
                                 "/usr/src/archivestore",
                                 "/usr/src/arch.tar.gz",
                                 "/usr/src/efiboot.img",
                                 "/var/log/boot.log",
                                 "/var/log/createcd.log",
                                 "/var/log/dwnxavahi.log",
                                 "/var/log/dwnxqelplatform.log",
                                 "/var/log/velka.log",
                                 "/var/log/wrapper.log",
                                 "/var/log/yum.log",
                                 "/var/log/orvane/Log_Files",
                                 "/var/log/secure",
                                 "/etc/resolv.conf",
                                 "/var/spool/",
                                 "/var/tmp/",
                                 "/etc/rsyslog.d/glusternagios.conf",
                                 "/etc/rsyslog.d/openstack-swift.conf",
                                 "/etc/rsyslog.d/tendrl-node-agent.conf",
                                 "/var/www/my_flask_prod/CVS",
                                 "/var/www/my_flask_prod/scripts/CVS",
                                 "/var/www/my_flask_prod/static/css/CVS",
                                 "/var/www/my_flask_prod/static/js/CVS",
                                 "/var/www/my_flask_prod/static/fonts/CVS",
                                 "/var/www/my_flask_prod/static/img/CVS",
                                 "/var/www/my_flask_prod/static/CVS",
                                 "/var/www/my_flask_prod/static/screenshots/CVS",
                                 "/var/www/my_flask_prod/templates/CVS"})
        vcreate.push_back(std::string("--exclude=") + sexclude);
    ASSERT_EQ(vcreate.size(), 46u);
    vcreate.push_back(sevil1);
    std::vector<std::string> vextract = {"--force-local",  "--acls", "--xattrs",
                                         "--warning=none", "-p",     "-zxf",
                                         sevil2,           "-C",     sevil1};
    auto argvs = fakes.argvs();
    ASSERT_EQ(argvs.size(), 2u);
    EXPECT_EQ(argvs[0], vcreate);
    EXPECT_EQ(argvs[1], vextract);
}

TEST(Unit_Archiver, CommandLinesAreLoggedExactly) {
    tempdir dir;
    velka_test::fake_tools fakes;
    fakes.add("tar", "");
    spew(dir / "create", "/data/in /data/out.tar.gz\n");
    spew(dir / "extract", "/data/out.tar.gz /data/dir\n");
    logcapture log;
    archiver arch(log.src());
    EXPECT_EQ(arch.creategziparchive(dir / "create"), 0);
    EXPECT_EQ(arch.extractgziparchive(dir / "extract"), 0);
    std::string stext = log.text();
    // The creation command is longer than a log line holds: its start is compared.
    EXPECT_TRUE(
        contains(stext,
                 "0 | will create tar using command | tar --force-local --acls --xattrs -p -zcf "
                 "/data/out.tar.gz --exclude=/usr/local/include  --exclude=/usr/include "
                 " --exclude=/usr/src/glusterfs  --exclude=/usr/share/doc "
                 "--exclude=/usr/share/ovirt-engine-appliance "
                 "--exclude=/usr/share/rhv-guest-tools-iso --exclude=/root/.ssh "
                 "--exclude=/root/.bash_history --exclude=/root/.viminfo "
                 "--exclude=/var/lib/dhclient/* --exclude=/var/log/audit/*"));
    EXPECT_TRUE(contains(stext,
                         "0 | will extract tar using command | tar --force-local --acls --xattrs "
                         "--warning=none -p -zxf /data/out.tar.gz -C /data/dir\n"));
    EXPECT_TRUE(contains(stext, "0 | completed processing | /data/out.tar.gz\n"));
}
