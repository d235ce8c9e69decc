// velka-inventory --prometheus on block devices whose model strings are hostile (quotes,
// braces, a newline, a backslash, bytes outside ASCII) or 3000 bytes long, in a /sys/block of
// the test's own: promtool accepts the file, the real node_exporter (Debian's
// prometheus-node-exporter, on 127.0.0.1 in the test's network namespace) exports it from its
// textfile directory, and the table keeps every value whole on its own row.
#include <signal.h>

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
    blockdevice("/sys/block/vdz", shostile, "2048");
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
    std::string sprom = dir / "velka.prom";
    ASSERT_EQ(sh(sinv + " --prometheus " + utilities::shellquote(sprom)), 0);
    std::string sls;
    sh("ls -A " + utilities::shellquote(dir.path()), &sls);
    EXPECT_EQ(sls, "velka.prom\n");  // no temporary file left
    std::string scheck;
    EXPECT_EQ(sh("promtool check metrics < " + utilities::shellquote(sprom) + " 2>&1", &scheck), 0)
        << scheck;

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
        R"(model="QEMU \"disk\"\\011{evil=\"1\"}\\033 \\134 \\303\\274")",
        "velka_disk_info{device=\"/dev/vdy\",managed=\"false\",model=\"" + slong + "\""};
    for (const std::string& s : vexpected)
        EXPECT_NE(sscrape.find(s), std::string::npos) << s << "\n" << sscrape;
}
