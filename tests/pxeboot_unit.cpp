// The network-boot environment without root: kernel command lines read from fixture files
// (the constructor takes the file's path), lease files through the lease parser, and the
// refusals that must happen before any tool runs (fake tools journal whatever does run).
#include <list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/pxeboot>

#include "internal/pxeboot.h"

#include "logcapture.h"
#include "velka_test.h"

using velka::pxeboot::nwinfo;
using velka::pxeboot::pxeboot;
using velka_test::fake_tools;
using velka_test::logcapture;

namespace {

std::string msg(const std::string& sfunc, const std::string& s) {
    return "pxeboot.cpp::pxeboot::" + sfunc + "( )  " + s;
}

std::list<std::string> lines(const std::string& sfixture) {
    std::list<std::string> l;
    std::istringstream in(velka_test::slurp(velka_test::fixture(sfixture)));
    std::string s;
    while (std::getline(in, s)) l.push_back(s);
    return l;
}

// What the boot program asks of one command line.
struct answers {
    bool bpxe;
    std::string sprotocol, saddr, sdir;
    int ispeedret;
    unsigned int uispeed;
    int idriversret;
    std::list<std::string> ldrivers;
    bool bfilter;
    int icredret;
    std::string suser, spasswd;
};

answers ask(const std::string& sfile, velka::logger::source* plog) {
    pxeboot boot(sfile, plog);
    answers a;
    a.bpxe = boot.ispxeboot(a.saddr, a.sdir, a.sprotocol);
    a.uispeed = 0;
    a.ispeedret = boot.getlinkspeed(a.uispeed);
    a.idriversret = boot.getcustomdrivers(a.ldrivers);
    a.bfilter = boot.filterzoandrives();
    a.icredret = boot.getcredentials(a.suser, a.spasswd);
    return a;
}

}  // namespace

TEST(Unit_Pxeboot, QueriesOfEachCommandLine) {
    struct cmdcase {
        const char* sfile;
        answers a;
    };
    const std::vector<cmdcase> cases = {
        {"cmdline/pxe-nfs.cmdline",
         {true,
          "nfs",
          "10.1.2.3",
          "/export/images",
          0,
          10000,
          0,
          {"bnx2x", "ixgbe"},
          true,
          -1,
          "",
          ""}},
        // linkspeed=1000 before linkspeed=10000: the first wins.
        {"cmdline/pxe-cifs.cmdline",
         {true,
          "cifs",
          "10.1.2.4",
          "/install",
          0,
          1000,
          -1,
          {},
          false,
          0,
          "installer",
          "Gr8-Secret.77"}},
        // tftp is no boot method; custom_drivers= gives an empty list; "password" without a
        // value is a key with an empty value; "=orphan" has an empty key.
        {"cmdline/odd-words.cmdline", {false, "", "", "", -1, 0, 0, {}, false, -1, "", ""}},
        // Two fields only; "linkspeed=fast" gives 0; 07 is non-zero.
        {"cmdline/short-method.cmdline", {false, "", "", "", 0, 0, 0, {}, true, -1, "", ""}},
        {"cmdline/no-such-file", {false, "", "", "", -1, 0, -1, {}, false, -1, "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sfile);
        answers a = ask(velka_test::fixture(c.sfile), nullptr);
        EXPECT_EQ(a.bpxe, c.a.bpxe);
        EXPECT_EQ(a.sprotocol, c.a.sprotocol);
        EXPECT_EQ(a.saddr, c.a.saddr);
        EXPECT_EQ(a.sdir, c.a.sdir);
        EXPECT_EQ(a.ispeedret, c.a.ispeedret);
        EXPECT_EQ(a.uispeed, c.a.uispeed);
        EXPECT_EQ(a.idriversret, c.a.idriversret);
        EXPECT_EQ(a.ldrivers, c.a.ldrivers);
        EXPECT_EQ(a.bfilter, c.a.bfilter);
        EXPECT_EQ(a.icredret, c.a.icredret);
        EXPECT_EQ(a.suser, c.a.suser);
        EXPECT_EQ(a.spasswd, c.a.spasswd);
    }
    // A tab ends the user name; the quoted password keeps its blank and comma.
    answers a = ask(velka_test::fixture("cmdline/pxe-cifs-quoted.cmdline"), nullptr);
    EXPECT_EQ(a.suser + "|" + a.spasswd, "installer|Gr8-Secret.77 S3cr3tTail,x");
}

TEST(Unit_Pxeboot, CommandLineWordsAndTheirLog) {
    std::map<std::string, std::string> m;
    logcapture log;
    velka::pxeboot::parsecmdline("a=1  b=x=y\tc=2 quiet a=9 password=\"pass Top$ecret\"  =v k= ", m,
                                 log.src());
    EXPECT_EQ(m, (std::map<std::string, std::string>{{"a", "1"},
                                                     {"b", "x=y"},
                                                     {"c", "2"},
                                                     {"quiet", ""},
                                                     {"password", "pass Top$ecret"},
                                                     {"=v", ""},
                                                     {"k", ""}}));
    auto l = log.messages();
    EXPECT_EQ(l, (std::vector<std::string>{
                     msg("pxeboot", "Found kernel command line param a:1"),
                     msg("pxeboot", "Found kernel command line param b:x=y"),
                     msg("pxeboot", "Found kernel command line param c:2"),
                     msg("pxeboot", "Found kernel command line param quiet:"),
                     msg("pxeboot", "Found kernel command line param a:9"),
                     msg("pxeboot", "Found kernel command line param password:********"),
                     msg("pxeboot", "Found kernel command line param =v:"),
                     msg("pxeboot", "Found kernel command line param k:"),
                 }));
}

TEST(Unit_Pxeboot, QueryMessages) {
    logcapture log;
    answers a = ask(velka_test::fixture("cmdline/pxe-cifs.cmdline"), log.src());
    EXPECT_TRUE(a.bpxe);
    for (const char* s : {
             "ispxeboot( )  Found method parameter in the kernel command line parameters with a "
             "value cifs:10.1.2.4:/install",
             "ispxeboot( )  Found nfs/cifs boot method in kernel command line parameters",
             "ispxeboot( )  Set protocol to cifs",
             "ispxeboot( )  Set nfs/cifs ip to 10.1.2.4 set directory to /install",
             "getlinkspeed( )  Found linkspeed parameter in the kernel command line parameters "
             "with a value 1000",
             "getcustomdrivers( )  Failed to find custom_drivers parameter in the kernel command "
             "line parameters",
             "filterzoandrives( )  Found exclude_zoan_data_disks parameter in the kernel command "
             "line parameters with a value 0",
             "getcredentials( )  Found username parameter in the kernel command line",
             "getcredentials( )  Found password parameter in the kernel command line",
         })
        EXPECT_TRUE(log.has("pxeboot.cpp::pxeboot::" + std::string(s))) << s;
    EXPECT_EQ(log.text().find("Gr8-Secret.77"), std::string::npos);

    logcapture log2;
    ask(velka_test::fixture("cmdline/short-method.cmdline"), log2.src());
    EXPECT_TRUE(log2.has(
        msg("ispxeboot", "Failed to find nfs boot method in kernel command line parameters")));
    EXPECT_TRUE(log2.has(msg("getcredentials",
                             "Failed to find username parameter in the kernel command line "
                             "parameters")));
}

TEST(Unit_Pxeboot, UserWithoutPasswordKeepsTheUser) {
    velka_test::tempdir dir;
    velka_test::spew(dir / "cmdline", "username=bob\n");
    pxeboot boot(dir / "cmdline", nullptr);
    std::string suser, spass = "unchanged";
    EXPECT_EQ(boot.getcredentials(suser, spass), -1);
    EXPECT_EQ(suser, "bob");
    EXPECT_EQ(spass, "unchanged");
}

TEST(Unit_Pxeboot, LeaseFiles) {
    struct leasecase {
        const char* sfile;
        const char* sintfx;  // the interface being configured
        std::map<std::string, std::string> m;
    };
    using leasemap = std::map<std::string, std::string>;
    auto lease = [](const char* sintfx, const char* saddr, const char* smask, const char* sgw,
                    const char* sdns) {
        leasemap m = {
            {"interface", sintfx}, {"ipaddress", saddr}, {"netmask", smask}, {"gateway", sgw}};
        if (sdns != nullptr) m["nameserver"] = sdns;
        return m;
    };
    const char* s24 = "255.255.255.0";
    const std::vector<leasecase> cases = {
        // The last complete lease of the interface wins; other interfaces' leases and a last
        // lease without its closing "}" are not read.
        {"dhclient/two-leases.leases", "eth0",
         lease("eth0", "192.0.2.57", s24, "192.0.2.1,192.0.2.2", "192.0.2.53,192.0.2.54")},
        {"dhclient/interfaces-mixed.leases", "eth0",
         lease("eth0", "192.0.2.57", s24, "192.0.2.1", "192.0.2.53")},
        {"dhclient/interfaces-mixed.leases", "eth1",
         lease("eth1", "198.51.100.41", s24, "198.51.100.1", "198.51.100.53")},
        {"dhclient/interfaces-mixed.leases", "eth2", {}},
        {"dhclient/two-leases.leases", "eth1", {}},
        // Lines with fewer words than their form are skipped; the block's first interface line
        // ("interface \"\";") names it.
        {"dhclient/short-lines.leases", "",
         lease("", "203.0.113.9", "255.255.255.128", "203.0.113.1", "")},
        {"dhclient/short-lines.leases", "eth1", {}},
        {"dhclient/no-dns.leases", "eth0",
         lease("eth0", "203.0.113.77", s24, "203.0.113.1", nullptr)},
        {"dhclient/hostile.leases", "-eth0reboot",
         lease("-eth0reboot", "$(touch${IFS}/tmp/pwned)", s24, "192.0.2.1", "192.0.2.53")},
        // Lease files of real clients.
        {"dhclient/cloud-init__multiple.leases", "wlp3s0",
         lease("wlp3s0", "192.168.2.74", s24, "192.168.2.1", nullptr)},
        {"dhclient/fusioninv__dhclient-wlan0-1.leases", "wlan0",
         lease("wlan0", "192.168.0.11", s24, "192.168.0.254", "212.27.40.240,212.27.40.241")},
        {"dhclient/fusioninv__dhclient-wlan0-1.leases", "eth0", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.sfile) + " " + c.sintfx);
        std::map<std::string, std::string> m;
        EXPECT_EQ(velka::pxeboot::parseleaselines(lines(c.sfile), c.sintfx, m, nullptr), 0);
        EXPECT_EQ(m, c.m);
    }
    logcapture log;
    std::map<std::string, std::string> m;
    velka::pxeboot::parseleaselines(lines("dhclient/two-leases.leases"), "eth0", m, log.src());
    EXPECT_TRUE(log.has(msg("parsedhclientresp", "Found tuple <interface,eth0>")));
    EXPECT_TRUE(
        log.has(msg("parsedhclientresp", "Found tuple <nameserver,192.0.2.53,192.0.2.54>")));
    EXPECT_EQ(log.count_containing("Found tuple <"), 5u);
    logcapture log2;
    velka::pxeboot::parseleaselines(lines("dhclient/two-leases.leases"), "eth1", m, log2.src());
    EXPECT_TRUE(log2.has(
        msg("parsedhclientresp", "No complete lease of interface eth1 in the lease file")));
}

TEST(Unit_Pxeboot, OperandsBeginningWithADashAreRefusedBeforeAnythingRuns) {
    fake_tools fakes;
    for (auto name : {"ifconfig", "dhclient", "route", "mount"}) fakes.add(name, "");
    logcapture log;
    pxeboot boot(velka_test::fixture("cmdline/pxe-nfs.cmdline"), log.src());
    nwinfo info;
    EXPECT_EQ(boot.confignwintfx("-a", "", info), -1);
    EXPECT_EQ(boot.confignwintfx("eth0", "--help", info), -1);
    EXPECT_EQ(boot.mountshare("-oremount", "/export", "/mnt/install", "nfs", "", ""), -1);
    EXPECT_EQ(boot.mountshare("10.1.2.3", "/export", "-v", "nfs", "", ""), -1);
    EXPECT_EQ(boot.mountshare("10.1.2.3", "/export", "-v", "cifs", "u", "p"), -1);
    // A comma would end the user name and start a mount option of the caller's choosing.
    EXPECT_EQ(boot.mountshare("10.1.2.3", "/install", "/mnt", "cifs", "u,uid=0", "p"), -1);
    // Neither protocol: nothing is done.
    EXPECT_EQ(boot.mountshare("10.1.2.3", "/install", "/mnt", "tftp", "u", "p"), 0);
    EXPECT_TRUE(fakes.calls().empty());
    EXPECT_TRUE(
        log.has(msg("confignwintfx", "Network interface -a refused: value begins with '-'")));
    EXPECT_TRUE(log.has(msg("confignwintfx", "DHCP server --help refused: value begins with '-'")));
    EXPECT_TRUE(
        log.has(msg("mountnfsshare", "NFS server -oremount refused: value begins with '-'")));
    EXPECT_TRUE(log.has(msg("mountnfsshare", "Mount path -v refused: value begins with '-'")));
    EXPECT_TRUE(log.has(msg("mountcifsshare", "Mount path -v refused: value begins with '-'")));
    EXPECT_TRUE(log.has(msg("mountcifsshare", "User name u,uid=0 refused: value contains ','")));
}

TEST(Unit_Pxeboot, FailingInterfaceStepStopsTheConfiguration) {
    fake_tools fakes;
    fakes.add("ifconfig", "", 1, "SIOCSIFFLAGS: No such device\n");
    fakes.add("dhclient", "");
    logcapture log;
    pxeboot boot(velka_test::fixture("cmdline/pxe-nfs.cmdline"), log.src());
    nwinfo info;
    EXPECT_EQ(boot.confignwintfx("eth9", "", info), -1);
    EXPECT_EQ(fakes.calls(), (std::vector<std::string>{"ifconfig eth9 up"}));
    EXPECT_TRUE(log.has(msg("confignwintfx", "network interface eth9 will be brought up")));
    EXPECT_TRUE(log.has(msg("confignwintfx",
                            "Failed to activate network interface eth9 error: "
                            "SIOCSIFFLAGS: No such device\n")));
}

TEST(Unit_Pxeboot, FailingDhcpStopsTheConfiguration) {
    fake_tools fakes;
    fakes.add("ifconfig", "");
    fakes.add("dhclient", "", 2, "No DHCPOFFERS received.\n");
    logcapture log;
    pxeboot boot(velka_test::fixture("cmdline/pxe-nfs.cmdline"), log.src());
    nwinfo info;
    EXPECT_EQ(boot.confignwintfx("eth0", "10.0.0.1", info), -1);
    EXPECT_EQ(boot.confignwintfx("eth 1", "", info), -1);
    EXPECT_EQ(fakes.argvs(),
              (std::vector<std::vector<std::string>>{
                  {"eth0", "up"}, {"-s", "10.0.0.1", "eth0"}, {"eth 1", "up"}, {"eth 1"}}));
    EXPECT_TRUE(log.has(msg("confignwintfx",
                            "Dynamic IP address will be requested for eth0 using command "
                            "dhclient  -s 10.0.0.1 eth0")));
    EXPECT_TRUE(log.has(msg("confignwintfx",
                            "Dynamic IP address will be requested for eth 1 using command "
                            "dhclient  'eth 1'")));
    EXPECT_TRUE(log.has(msg("confignwintfx",
                            "Failed to configure network interface eth0 error: "
                            "No DHCPOFFERS received.\n")));
}
