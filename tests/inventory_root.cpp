// velka-inventory --prometheus on block devices whose model strings are hostile (quotes,
// braces, a newline, a backslash, bytes outside ASCII), French, not UTF-8 at all or 3000 bytes
// long, in a /sys/block of the test's own: promtool reads every model back from the file as
// written (bytes that are not UTF-8 as U+FFFD), and so does Python's json from --json; the real
// node_exporter (Debian's prometheus-node-exporter, on 127.0.0.1 in the test's network
// namespace) exports the file from its textfile directory, and the table keeps every value
// whole on its own row. A FILE that is not a regular file is never replaced.
#include <signal.h>
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>
#include <velka/utilities>

#include "velka_test.h"

using velka::utilities::utilities;
using velka_test::sh;
using velka_test::spew;

namespace {

void blockdevice(const std::string& sdir, const std::string& smodel, const char* ssize) {
    ASSERT_EQ(sh("mkdir -p " + utilities::shellquote(sdir + "/device") + " " +
                 utilities::shellquote(sdir + "/queue")),
              0);
    spew(sdir + "/device/model", smodel + "\n");
    spew(sdir + "/size", std::string(ssize) + "\n");
    spew(sdir + "/queue/rotational", "0\n");
}

// "device hex(model)" per disk, from promtool's dump of the metrics or from --json.
const char* const s_models = R"PY(import ast, json, re, sys
models = {}
if sys.argv[1] == "json":
    for d in json.load(sys.stdin)["other_block_devices"]: models[d["device"][5:]] = d["model"]
for line in sys.stdin if sys.argv[1] == "dump" else []:
    l = {k: ast.literal_eval('"' + v + '"') for k, v in re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', line)}
    if l.get("__name__") == "velka_disk_info": models[l["device"]] = l["model"]
for k, v in sorted(models.items()): print(k, v.encode().hex())
)PY";

std::string hex(const std::string& s) {
    std::string sout;
    char buf[3];
    for (unsigned char c : s) sout += (snprintf(buf, sizeof(buf), "%02x", c), buf);
    return sout;
}

}  // namespace

TEST(Root_Inventory, HostileModelsThroughPromtoolAndNodeExporter) {
    VELKA_REQUIRE_ROOT();
    VELKA_REQUIRE_TOOL("promtool");
    VELKA_REQUIRE_TOOL("prometheus-node-exporter");
    VELKA_REQUIRE_TOOL("python3");
    const std::string sbinary = std::string(VELKA_BINARY_DIR) + "/tools/velka-inventory";
    ASSERT_TRUE(velka_test::have_tool(sbinary));
    const std::string sinv = utilities::shellquote(sbinary);
    velka_test::tmpfs_mount sysblock("/sys/block");
    ASSERT_TRUE(sysblock.ok());
    const std::string shostile = "QEMU \"disk\"\t{evil=\"1\"}\x1b \\ \xc3\xbc";
    const std::string slong(3000, 'V');
    // Each model and how it reads back: UTF-8 as it is, other bytes as U+FFFD.
    const struct {
        const char *sname, *smodel, *sread;
    } vmodels[] = {{"vdz", shostile.c_str(), shostile.c_str()},
                   {"vdx",
                    "Donn\xc3\xa9"
                    "es",
                    "Donn\xc3\xa9"
                    "es"},
                   {"vdw", "\xff\xc3(bad", "\xef\xbf\xbd\xef\xbf\xbd(bad"}};
    for (const auto& m : vmodels)
        blockdevice(std::string("/sys/block/") + m.sname, m.smodel, "2048");
    blockdevice("/sys/block/vdy", slong, "4096");

    std::string stable;
    ASSERT_EQ(sh(sinv, &stable), 0);
    EXPECT_NE(stable.find("\n    Model                " + slong + "\n    Capacity "),
              std::string::npos)
        << stable;
    EXPECT_NE(stable.find("\n    Model                QEMU \"disk\"\\011{evil=\"1\"}\\033 \\134 "
                          "\\303\\274\n    Capacity             1048576 bytes (1.0 MiB)\n"),
              std::string::npos)
        << stable;

    velka_test::tempdir dir;
    std::string sprom = dir / "velka.prom", sq = utilities::shellquote(dir.path());
    // A killed run's temporary file goes once it is an hour old; a running one's stays.
    ASSERT_EQ(sh("cd " + sq + " && touch -d '2 hours ago' .velka-inventory.Old123 && touch " +
                 ".velka-inventory.New123"),
              0);
    ASSERT_EQ(sh(sinv + " --prometheus " + utilities::shellquote(sprom)), 0);
    std::string sls;
    sh("ls -A " + sq, &sls);
    EXPECT_EQ(sls, ".velka-inventory.New123\nvelka.prom\n");
    std::string scheck, sdump, sjson;
    EXPECT_EQ(sh("promtool check metrics < " + utilities::shellquote(sprom) + " 2>&1", &scheck), 0)
        << scheck;
    // promtool reads the file into a database (OpenMetrics wants a timestamp and an end).
    spew(dir / "models.py", s_models);
    EXPECT_EQ(sh("cd " + sq + " && { sed -n '/^velka_disk_info{/s/$/ 1700000000/p' velka.prom; " +
                     "echo '# EOF'; } > om && promtool tsdb create-blocks-from openmetrics om db " +
                     ">/dev/null && mkdir db/wal && promtool tsdb dump db | python3 models.py dump",
                 &sdump),
              0);
    EXPECT_EQ(sh(sinv + " --json | python3 " + utilities::shellquote(dir / "models.py") + " json",
                 &sjson),
              0);
    for (const auto& m : vmodels)
        for (const std::string* ps : {&sdump, &sjson})
            EXPECT_NE(ps->find(std::string(m.sname) + " " + hex(m.sread) + "\n"), std::string::npos)
                << m.sname << "\n"
                << *ps;
    sh("rm -rf " + sq + "/om " + sq + "/db " + sq + "/models.py");

    // The exporter on a port of 127.0.0.1 that the kernel finds free, scraped as Prometheus
    // does once it answers (it is given up to 30 s), then stopped.
    std::string sport, spid, sscrape;
    ASSERT_EQ(sh("python3 -c 'import socket; s = socket.socket(); s.bind((\"127.0.0.1\", 0)); "
                 "print(s.getsockname()[1], end=\"\")'",
                 &sport),
              0);
    ASSERT_EQ(
        sh("prometheus-node-exporter --web.listen-address=127.0.0.1:" + sport +
               " --collector.disable-defaults --collector.textfile "
               "--collector.textfile.directory=" +
               utilities::shellquote(dir.path()) + " --log.level=error >/dev/null 2>&1 & echo $!",
           &spid),
        0);
    int irc =
        sh("python3 -c 'import sys, time, urllib.request\n"
           "for i in range(300):\n"
           "    try: sys.exit(print(urllib.request.urlopen(sys.argv[1]).read().decode()))\n"
           "    except OSError: time.sleep(0.1)\n"
           "sys.exit(1)' http://127.0.0.1:" +
               sport + "/metrics",
           &sscrape);
    EXPECT_EQ(kill(std::stoi(spid), SIGTERM), 0);
    ASSERT_EQ(irc, 0);
    // node_exporter sorts the labels; the escapes of the file pass through unchanged.
    const std::string vexpected[] = {
        "node_textfile_scrape_error 0\n",
        "velka_disk_capacity_bytes",
        "velka_inventory_section_success{section=\"disks\"} 1\n",
        "velka_inventory_last_run_timestamp_seconds ",
        "model=\"Donn\xc3\xa9"
        "es\"",
        "velka_disk_info{device=\"vdy\",managed=\"false\",model=\"" + slong + "\""};
    for (const std::string& s : vexpected)
        EXPECT_NE(sscrape.find(s), std::string::npos) << s << "\n" << sscrape;
}

// --prometheus FILE where FILE is a device node (such as /dev/null), a FIFO, a directory or a
// link: exit 1 and a message, FILE as it was, no temporary file.
TEST(Root_Inventory, PrometheusFileThatIsNotRegularIsLeftAlone) {
    VELKA_REQUIRE_ROOT();
    const std::string sinv =
        utilities::shellquote(std::string(VELKA_BINARY_DIR) + "/tools/velka-inventory");
    velka_test::tempdir dir;
    const std::string sq = utilities::shellquote(dir.path());
    ASSERT_EQ(
        sh("cd " + sq + " && mknod null c 1 3 && mkfifo fifo && mkdir dir && ln -s null link"), 0);
    for (const char* sname : {"null", "fifo", "dir", "link"}) {
        struct stat before, after;
        ASSERT_EQ(lstat((dir / sname).c_str(), &before), 0);
        std::string sout, sls;
        EXPECT_EQ(sh(sinv + " --prometheus " + utilities::shellquote(dir / sname) + " 2>&1", &sout),
                  1)
            << sname;
        EXPECT_NE(sout.find(dir / sname + " is a"), std::string::npos) << sout;
        EXPECT_NE(sout.find("not a regular file"), std::string::npos) << sout;
        ASSERT_EQ(lstat((dir / sname).c_str(), &after), 0);
        EXPECT_TRUE(after.st_mode == before.st_mode && after.st_rdev == before.st_rdev &&
                    after.st_ino == before.st_ino)
            << sname;
        sh("ls -A " + sq, &sls);
        EXPECT_EQ(sls, "dir\nfifo\nlink\nnull\n") << sname;
    }
}
