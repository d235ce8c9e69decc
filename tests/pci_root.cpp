// PCI enumeration as root: the real functions of this host and the real modules.alias of its
// newest installed kernel, checked against lspci (ids, classes, kernel modules) and against a
// matcher written here from the alias format with fnmatch over the kernel's own modalias;
// then fixture sysfs trees bound over /sys/bus/pci/devices in the test's private mount
// namespace, matched against fixture tables in both formats.
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <list>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/pci>
#include <velka/utilities>

#include "logcapture.h"
#include "pci_compare.h"
#include "velka_test.h"

using velka::pci::pci;
using velka::pci::pci_cfg;
using velka_test::bind_mount;
using velka_test::logcapture;
using velka_test::msg;
using velka_test::tempdir;

namespace {

using namespace pci_test;

// A copy of the crafted tree with an unreadable function added, bound over the sysfs path.
class fixturetree {
public:
    explicit fixturetree(const std::string& sfixture = "pci/sysfs") {
        m_sdir = m_tmp / "devices";
        velka_test::sh("cp -a '" + velka_test::fixture(sfixture) + "' '" + m_sdir + "'");
        mkdir((m_sdir + "/0000:06:00.0").c_str(), 0755);
        mkdir((m_sdir + "/0000:06:00.0/config").c_str(), 0755);
        m_pbind.reset(new bind_mount(m_sdir, s_devices));
    }
    bool ok() const {
        return m_pbind->ok();
    }

private:
    tempdir m_tmp;
    std::string m_sdir;
    std::unique_ptr<bind_mount> m_pbind;
};

// A function directory holding a 256-byte configuration header with these ids (vendor, device,
// subsystem vendor, subsystem device) and class code.
void addfunction(const std::string& sdir, const std::vector<unsigned int>& aids, unsigned int cls) {
    unsigned char acfg[256] = {};
    const unsigned int aoffsets[] = {0x00, 0x02, 0x2C, 0x2E};
    for (int i = 0; i < 4; ++i)
        acfg[aoffsets[i]] = aids[i] & 0xFF, acfg[aoffsets[i] + 1] = (aids[i] >> 8) & 0xFF;
    acfg[0x09] = cls & 0xFF, acfg[0x0A] = (cls >> 8) & 0xFF, acfg[0x0B] = (cls >> 16) & 0xFF;
    ASSERT_EQ(mkdir(sdir.c_str(), 0755), 0) << sdir;
    velka_test::spew(sdir + "/config", std::string(reinterpret_cast<char*>(acfg), 256));
}

}  // namespace

// Every function of this host: ids and class as lspci reads them, class names from the table,
// drivers as the first alias line an fnmatch matcher accepts, and the matched module among
// lspci -k's kernel modules.
TEST(Root_Pci, RealFunctionsAgainstLspciAndAliasTable) {
    VELKA_REQUIRE_ROOT();
    VELKA_REQUIRE_TOOL("lspci");
    std::string skernel = kerneldir();
    if (skernel.empty()) GTEST_SKIP() << "needs an installed kernel with modules.alias";
    std::string stable = skernel + "/modules.alias";
    // lspci -k finds the table of the running kernel only: show it the chosen one under the
    // running kernel's name, in this namespace.
    std::unique_ptr<velka_test::overlay_mount> pmodules;
    std::string srun = "/lib/modules/" + uname_release();
    if (access(srun.c_str(), F_OK) != 0) {
        pmodules.reset(new velka_test::overlay_mount("/lib/modules"));
        ASSERT_TRUE(pmodules->ok());
        ASSERT_EQ(symlink(skernel.c_str(), srun.c_str()), 0);
    }

    pci_test::compare_with_lspci(stable);
}

// The seven fields of a PCI pattern of modules.alias: "pci:v" V "d" D "sv" SV "sd" SD "bc" BC
// "sc" SC "i" I, each "*" or upper-case hex digits of its width, and an optional closing "*".
static bool aliasfields(const std::string& s, std::string f[7]) {
    static const char* const s_tags[] = {"pci:v", "d", "sv", "sd", "bc", "sc", "i"};
    static const size_t s_widths[] = {8, 8, 8, 8, 2, 2, 2};
    size_t upos = 0;
    for (int k = 0; k < 7; ++k) {
        std::string stag = s_tags[k];
        if (s.compare(upos, stag.size(), stag) != 0) return false;
        upos += stag.size();
        if (upos < s.size() && s[upos] == '*') {
            f[k] = "*";
            ++upos;
            continue;
        }
        if (upos + s_widths[k] > s.size()) return false;
        f[k] = s.substr(upos, s_widths[k]);
        if (f[k].find_first_not_of("0123456789ABCDEF") != std::string::npos) return false;
        upos += s_widths[k];
    }
    return upos == s.size() || (upos + 1 == s.size() && s[upos] == '*');
}

// 256 functions made from entries spread over the real table (wildcards filled with other
// values): the engine's choice against the fnmatch matcher over each function's modalias, for
// every function.
TEST(Root_Pci, ManyFunctionsFromTheRealTable) {
    VELKA_REQUIRE_ROOT();
    std::string skernel = kerneldir();
    if (skernel.empty()) GTEST_SKIP() << "needs an installed kernel with modules.alias";
    std::string stable = skernel + "/modules.alias";
    auto laliases = aliaslines(stable);
    ASSERT_GT(laliases.size(), 256u);
    tempdir tmp;
    velka_test::tmpfs_mount tree(tmp.path());
    ASSERT_TRUE(tree.ok());
    unsigned int uiseed = 12345;
    auto rnd = [&uiseed]() {
        uiseed = uiseed * 1103515245u + 12345u;
        return (uiseed >> 8) & 0xFFFF;
    };
    std::map<std::string, std::string> mmodalias;
    for (unsigned int i = 0; i < 256; ++i) {
        const std::string& spattern = laliases[i * (laliases.size() / 256)].first;
        std::string m[7];
        ASSERT_TRUE(aliasfields(spattern, m)) << spattern;
        unsigned int a[7];
        for (int f = 0; f < 7; ++f) {
            unsigned int uimax = f < 4 ? 0xFFFF : 0xFF;
            a[f] = m[f] == "*" ? rnd() & uimax : hex(m[f]);
        }
        char sname[32], smodalias[96];
        snprintf(sname, sizeof(sname), "0000:%02x:%02x.%x", i / 64, (i / 8) % 8, i % 8);
        snprintf(smodalias, sizeof(smodalias), "pci:v%08Xd%08Xsv%08Xsd%08Xbc%02Xsc%02Xi%02X", a[0],
                 a[1], a[2], a[3], a[4], a[5], a[6]);
        mmodalias[sname] = smodalias;
        addfunction(tmp / sname, {a[0], a[1], a[2], a[3]}, (a[4] << 16) | (a[5] << 8) | a[6]);
    }
    bind_mount bind(tmp.path(), s_devices);
    ASSERT_TRUE(bind.ok());
    pci_cfg cfg(stable, velka::pci::alias_engine, nullptr);
    std::vector<pci> lrecords = records(cfg);
    ASSERT_EQ(lrecords.size(), 256u);
    size_t uimatched = 0;
    for (const auto& p : lrecords) {
        std::string sfirst = firstmodule(laliases, mmodalias[slotof(p)]);
        std::list<std::string> lexpect;
        if (!sfirst.empty()) lexpect = withcompanions(sfirst);
        EXPECT_EQ(p.get_driver(), lexpect) << mmodalias[slotof(p)];
        uimatched += !sfirst.empty();
    }
    EXPECT_EQ(uimatched, 256u);
}

// The crafted tree with both tables: bus order across domains, skipped functions with their
// messages, first fitting entry wins, companions, the USB controllers by their interface.
TEST(Root_Pci, FixtureTreeWithBothTables) {
    VELKA_REQUIRE_ROOT();
    struct expected {
        const char* sslot;
        unsigned int v, d, sv, sd, cls;
        const char* salias;
        const char* spcimap;
    } const aexpect[] = {
        {"0000:00:00.0", 0x8086, 0x0100, 0x103c, 0x330d, 0x060000, "", ""},
        {"0001:00:05.0", 0x15b3, 0x1003, 0x15b3, 0x0050, 0x0c0600, "mlx4_core", "mlx4_core"},
        {"0000:00:1a.0", 0x8086, 0x1c2c, 0x103c, 0x330d, 0x0c0300, "uhci_hcd usb-storage",
         "uhci_hcd usb-storage"},
        {"0000:00:1a.1", 0x1022, 0x7807, 0x103c, 0x330d, 0x0c0310, "ohci_hcd usb-storage",
         "ohci_hcd usb-storage"},
        {"0000:00:1d.0", 0x8086, 0x1c26, 0x103c, 0x330d, 0x0c0320, "ehci_hcd usb-storage",
         "ehci_hcd usb-storage"},
        {"0000:00:1f.2", 0x8086, 0x1c02, 0x103c, 0x330d, 0x010601, "ahci", "ahci"},
        {"0000:01:00.2", 0x103c, 0x3307, 0x103c, 0x3309, 0x088000, "serio_raw hpilo",
         "serio_raw hpilo"},
        {"0000:02:00.0", 0x8086, 0x10d3, 0x8086, 0xa01f, 0x020000, "e1000e", "e1000e"},
        {"0000:03:00.0", 0x144d, 0xa808, 0x144d, 0xa801, 0x010802, "nvme", "nvme"},
    };
    for (auto engine : {velka::pci::alias_engine, velka::pci::pcimap_engine}) {
        bool balias = engine == velka::pci::alias_engine;
        SCOPED_TRACE(balias ? "modules.alias" : "modules.pcimap");
        fixturetree tree;
        ASSERT_TRUE(tree.ok());
        std::string stable =
            velka_test::fixture(balias ? "pci/modules.alias" : "pci/modules.pcimap");
        logcapture log;
        pci_cfg cfg(stable, engine, log.src());
        std::vector<pci> lrecords = records(cfg);
        ASSERT_EQ(lrecords.size(), sizeof(aexpect) / sizeof(aexpect[0]));
        for (size_t i = 0; i < lrecords.size(); ++i) {
            const pci& p = lrecords[i];
            const expected& e = aexpect[i];
            SCOPED_TRACE(e.sslot);
            EXPECT_EQ(slotof(p), e.sslot);
            EXPECT_EQ(p.get_vendorid(), e.v);
            EXPECT_EQ(p.get_deviceid(), e.d);
            EXPECT_EQ(p.get_ssvendorid(), e.sv);
            EXPECT_EQ(p.get_ssdeviceid(), e.sd);
            EXPECT_EQ(p.get_class(), e.cls);
            EXPECT_EQ(p.get_classdesc(), classname(e.cls));
            EXPECT_EQ(p.get_drivers(), balias ? e.salias : e.spcimap);
            EXPECT_TRUE(log.has(devline(p)));
        }
        const std::string sdir = "/sys/bus/pci/devices/";
        const char* stag = "pci_cfg::pci_cfg";
        std::vector<std::string> lexpect = {
            msg("pci.cpp", stag, sdir),
            msg("pci.cpp", stag, "12"),
            msg("pci.cpp", stag,
                balias ? "Will use modules.alias driver engine"
                       : "Will use modules.pcimap driver engine"),
            msg("pci.cpp", stag,
                "Failed to read pci cfg space from " + sdir + "/0000:04:00.0/config Success"),
            msg("pci.cpp", stag,
                "Failed to open " + sdir + "/0000:05:00.0/config No such file or directory"),
            msg("pci.cpp", stag,
                "Failed to read pci cfg space from " + sdir +
                    "/0000:06:00.0/config Is a directory"),
            msg("pci.cpp", "pci_cfg::enumerate_drivers", stable),
        };
        std::vector<std::string> lmessages = log.messages();
        ASSERT_EQ(lmessages.size(), lexpect.size() + lrecords.size());
        for (size_t i = 0; i < lexpect.size(); ++i) EXPECT_EQ(lmessages[i], lexpect[i]);
        EXPECT_EQ(lmessages[7], msg("pci.cpp", "pci_cfg::enumerate_drivers",
                                    "0000:0000:0000:00 0x008086 0x000100 0x00103c 0x00330d "
                                    "0x060000 | host/pci bridge  | unknown driver "));
        EXPECT_EQ(lmessages[8], msg("pci.cpp", "pci_cfg::enumerate_drivers",
                                    "0x01:0000:0x05:00 0x0015b3 0x001003 0x0015b3 0x000050 "
                                    "0x0c0600 | unknown pci device  |mlx4_core"));
    }
}

// Subsystem ids by header type, against lspci reading the same configuration spaces from a
// dump: each place a header type may keep them holds other ids, so only the right one shows.
TEST(Root_Pci, SubsystemIdsByHeaderType) {
    VELKA_REQUIRE_ROOT();
    VELKA_REQUIRE_TOOL("lspci");
    // Header type byte (multi-function bit included); with the subsystem-ID capability.
    const struct {
        const char* sslot;
        unsigned char uctype;
        bool bcap;
    } functions[] = {{"0000:00:1c.0", 0x81, true},  // PCI-to-PCI bridges with it and without
                     {"0000:00:1e.0", 0x01, false},
                     {"0000:02:00.0", 0x82, false},  // CardBus bridge
                     {"0000:02:00.1", 0x80, false}};
    tempdir tmp;
    for (const auto& f : functions) {
        unsigned char a[256] = {0x80, 0x11, 0x76, 0x04, 0, 0, 0, 0, 0xba, 0, 0x07, 0x06};
        auto put16 = [&a](int i, unsigned int u) { a[i] = u & 0xFF, a[i + 1] = u >> 8; };
        a[0x0E] = f.uctype;
        put16(0x2C, 0xa000), put16(0x2E, 0x0001), put16(0x40, 0x17aa), put16(0x42, 0x2012);
        if (f.bcap) a[0x06] = 0x10, a[0x34] = 0x80, a[0x80] = 0x0D, put16(0x84, 0x1028);
        ASSERT_EQ(mkdir((tmp / f.sslot).c_str(), 0755), 0);
        velka_test::spew(tmp / f.sslot + "/config", std::string(reinterpret_cast<char*>(a), 256));
        // lspci's dump format: the slot, then "00: 80 11 ..." sixteen bytes a line.
        ASSERT_EQ(velka_test::sh("(echo " + std::string(f.sslot).substr(5) + " x; od -An -tx1 -v " +
                                 tmp / f.sslot + "/config | awk '{printf \"%02x:%s\\n\", " +
                                 "NR * 16 - 16, $0}') >> " + tmp / "dump"),
                  0);
    }
    std::vector<lspcirecord> vlspci = lspci_records("-F " + tmp / "dump");
    bind_mount bind(tmp.path(), s_devices);
    ASSERT_TRUE(bind.ok());
    pci_cfg cfg("/nonexistent/modules.alias", velka::pci::alias_engine, nullptr);
    std::vector<pci> vrecords = records(cfg);
    ASSERT_EQ(vrecords.size(), 4u);
    ASSERT_EQ(vlspci.size(), 4u);
    for (size_t i = 0; i < vrecords.size(); ++i) {
        EXPECT_EQ(vlspci[i].sslot, functions[i].sslot);
        EXPECT_EQ(vrecords[i].get_ssvendorid(), vlspci[i].uissvendor) << vlspci[i].sslot;
        EXPECT_EQ(vrecords[i].get_ssdeviceid(), vlspci[i].uissdevice) << vlspci[i].sslot;
    }
    EXPECT_NE(vrecords[2].tostr().find("0x001180 0x000476 0x0017aa 0x002012"), std::string::npos);
}

// The USB controllers of real machines (lspci -vnn dumps, tests/fixtures/pci/*lspci*), in a
// tree made from each dump, with Debian 12's modules.alias and a 2.4-era modules.pcimap. The
// module follows from the interface byte alone (neither table has an entry of these vendors
// for class 0C03, so the first generic one fits). Each controller is tried with the other
// host-controller interfaces too, so that UHCI, OHCI, EHCI and xHCI all come with real ids.
TEST(Root_Pci, UsbControllersOfCapturedMachines) {
    VELKA_REQUIRE_ROOT();
    const struct {
        const char* stable;
        velka::pci::pci_driver_parsing_engines engine;
        const char* amodules[4];  // by interface 00 UHCI, 10 OHCI, 20 EHCI, 30 xHCI
    } atables[] = {
        {"pci/debian12_linux-image-6.1.0-57-amd64_modules.alias",
         velka::pci::alias_engine,
         {"uhci_hcd usb-storage", "ohci_pci usb-storage", "ehci_pci usb-storage",
          "xhci_pci usb-storage"}},
        {"pci/1490kdrm_wares__modules.pcimap",
         velka::pci::pcimap_engine,
         {"uhci", "usb-ohci", "ehci-hcd usb-storage", ""}},
    };
    std::list<std::string> ldumps;
    velka::utilities::utilities::readdir(velka_test::fixture("pci"), ldumps);
    unsigned int uiusb = 0;
    for (const auto& sdump : ldumps) {
        if (sdump.find("lspci") == std::string::npos) continue;
        SCOPED_TRACE(sdump);
        tempdir tmp;
        std::istringstream in(velka_test::slurp(velka_test::fixture("pci/" + sdump)));
        std::string sline, sslot;
        unsigned int uibus, uidev, uifn, v, d, sv, sd, uiif, uifunctions = 0;
        while (std::getline(in, sline)) {
            // "00:1a.0 USB controller [0c03]: ... [8086:2937] (rev 03) (prog-if 00 [UHCI])",
            // then "\tSubsystem: ... [1028:0252]".
            size_t uids = std::min(sline.find(" (rev"), sline.find(" (prog-if"));
            if (sline.find(" [0c03]: ") != std::string::npos && uids != std::string::npos) {
                ASSERT_EQ(sscanf(sline.c_str(), "%x:%x.%x", &uibus, &uidev, &uifn), 3);
                ASSERT_EQ(sscanf(sline.c_str() + uids - 11, "[%4x:%4x]", &v, &d), 2);
                ASSERT_EQ(sscanf(sline.c_str() + sline.find("(prog-if ") + 9, "%x", &uiif), 1);
                ASSERT_EQ(uiif & 0xCF, 0u) << sline;
                sslot = sline;
            } else if (!sslot.empty() && sline.find("\tSubsystem: ") == 0) {
                ASSERT_EQ(sscanf(sline.c_str() + sline.size() - 11, "[%4x:%4x]", &sv, &sd), 2);
                for (unsigned int k = 0; k < 5; ++k) {  // as captured, then buses 11-14: 00 to 30
                    char sname[32];
                    snprintf(sname, sizeof(sname), "0000:%02x:%02x.%x", k == 0 ? uibus : 0x10 + k,
                             uidev, uifn);
                    addfunction(tmp / sname, {v, d, sv, sd}, 0x0C0300 | (k ? (k - 1) << 4 : uiif));
                }
                uifunctions += 5, ++uiusb;
                sslot.clear();
            }
        }
        bind_mount bind(tmp.path(), s_devices);
        ASSERT_TRUE(bind.ok());
        for (const auto& t : atables) {
            SCOPED_TRACE(t.stable);
            pci_cfg cfg(velka_test::fixture(t.stable), t.engine, nullptr);
            std::vector<pci> lrecords = records(cfg);
            EXPECT_EQ(lrecords.size(), uifunctions);
            for (const auto& p : lrecords)
                EXPECT_EQ(p.get_drivers(), t.amodules[(p.get_class() & 0xFF) >> 4]) << slotof(p);
        }
    }
    EXPECT_EQ(uiusb, 8u);  // the 6 UHCI and 2 EHCI controllers of an ICH9 laptop
}

// The virtual machine capture with the fixture alias table: every virtio function to
// virtio_pci, the host bridge to nothing.
TEST(Root_Pci, CapturedVirtualMachine) {
    VELKA_REQUIRE_ROOT();
    tempdir tmp;
    velka_test::sh("cp -a '" + velka_test::fixture("pci/sysfs-vm") + "' '" + tmp / "d" + "'");
    bind_mount bind(tmp / "d", s_devices);
    ASSERT_TRUE(bind.ok());
    pci_cfg cfg(velka_test::fixture("pci/modules.alias"), velka::pci::alias_engine, nullptr);
    std::vector<pci> lrecords = records(cfg);
    ASSERT_EQ(lrecords.size(), 6u);
    EXPECT_EQ(lrecords[0].tostr(),
              "0000:0000:0000:00 0x008086 0x000d57 00000000 00000000 0x060000 | host/pci bridge ");
    EXPECT_EQ(lrecords[0].get_drivers(), "");
    auto laliases = aliaslines(velka_test::fixture("pci/modules.alias"));
    for (const auto& p : lrecords) {
        std::string smodalias = velka_test::slurp(tmp / "d/" + slotof(p) + "/modalias");
        smodalias.pop_back();
        EXPECT_EQ(p.get_drivers(), firstmodule(laliases, smodalias)) << slotof(p);
    }
    EXPECT_EQ(lrecords[3].get_classdesc(), "ethernet controller");
    EXPECT_EQ(lrecords[3].get_drivers(), "virtio_pci");
}

// A table that is missing, is not a regular file, holds malformed patterns, or an engine
// type that does not exist: every function stays without a driver or keeps its first match,
// with the messages a search of the file per function gives.
TEST(Root_Pci, TableProblems) {
    VELKA_REQUIRE_ROOT();
    fixturetree tree;
    ASSERT_TRUE(tree.ok());
    const size_t uifunctions = 9;
    {
        logcapture log;
        pci_cfg cfg("/nonexistent/modules.alias", velka::pci::alias_engine, log.src());
        EXPECT_EQ(log.count_containing("/nonexistent/modules.alias stat failed with error No "
                                       "such file or directory"),
                  uifunctions);
        EXPECT_EQ(log.count_containing("pci_cfg::alias_driverengine( )  /nonexistent"),
                  uifunctions);
        EXPECT_EQ(log.count_containing(" | unknown driver "), uifunctions);
    }
    {
        tempdir tmp;
        logcapture log;
        pci_cfg cfg(tmp.path(), velka::pci::pcimap_engine, log.src());
        EXPECT_EQ(log.count_containing("pci_cfg::match_driver( )  " + tmp.path() +
                                       " is not a regular file"),
                  uifunctions);
        EXPECT_EQ(log.count_containing(" | unknown driver "), uifunctions);
    }
    {
        logcapture log;
        pci_cfg cfg(velka_test::fixture("pci/modules.alias"),
                    static_cast<velka::pci::pci_driver_parsing_engines>(7), log.src());
        EXPECT_TRUE(
            log.has(msg("pci.cpp", "pci_cfg::pci_cfg", "No driver engine for engine type 7")));
        EXPECT_EQ(log.count_containing(" | unknown driver "), uifunctions);
        EXPECT_EQ(records(cfg).size(), uifunctions);
    }
    {
        tempdir tmp;
        velka_test::spew(tmp / "modules.alias",
                         "alias pci:v*d*sv*sd*bc01sc08* broken_first\n"
                         "alias pci:v00008086d000010D3sv*sd*bc*sc*i* e1000e\n"
                         "alias pci:v*d*sv*sd*bc02sc00i00* e1000e_later\n"
                         "alias pci:v0000\xff*d*sv*sd*bc*sc*  broken_last");
        logcapture log;
        pci_cfg cfg(tmp / "modules.alias", velka::pci::alias_engine, log.src());
        const char* stag = "pci.cpp::pci_cfg::parse_aliasmap_entry( )  Failed to parse ";
        EXPECT_EQ(log.count_containing(std::string(stag) + "pci:v*d*sv*sd*bc01sc08*"), uifunctions);
        EXPECT_EQ(log.count_containing(std::string(stag) + "pci:v0000\xff*"), uifunctions - 1);
        EXPECT_EQ(log.count_containing(" | unknown driver "), uifunctions - 1);
        EXPECT_EQ(log.count_containing("|e1000e"), 1u);
    }
}

// Lines longer than the engine's read block, CR-LF line ends and no newline at the end.
TEST(Root_Pci, LongLinesAndLineEnds) {
    VELKA_REQUIRE_ROOT();
    fixturetree tree;
    ASSERT_TRUE(tree.ok());
    tempdir tmp;
    std::string slong(200000, 'x');
    velka_test::spew(tmp / "modules.alias",
                     "#" + slong + "\nalias usb:v" + slong + " long_usb\r\n" +
                         "alias pci:v00008086d000010D3sv*sd*bc*sc*i* e1000e\r\n" +
                         "alias pci:v0000103Cd00003307sv*sd*bc*sc*i* " + slong + "\n" +
                         "alias pci:v*d*sv*sd*bc01sc08i02* nvme");
    pci_cfg cfg(tmp / "modules.alias", velka::pci::alias_engine, nullptr);
    std::map<std::string, std::string> mdrivers;
    for (const auto& p : records(cfg)) mdrivers[slotof(p)] = p.get_drivers();
    EXPECT_EQ(mdrivers["0000:02:00.0"], "e1000e");
    EXPECT_EQ(mdrivers["0000:01:00.2"], slong);
    EXPECT_EQ(mdrivers["0000:03:00.0"], "nvme");
    EXPECT_EQ(mdrivers["0000:00:00.0"], "");
}

// A table the caller may not read: every function says so instead of passing for one without
// a fitting entry. Run as nobody on the fixture tree (whose config files give all 256 bytes).
TEST(Root_Pci, UnreadableTable) {
    VELKA_REQUIRE_ROOT();
    fixturetree tree;
    ASSERT_TRUE(tree.ok());
    tempdir tmp;
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    std::string stable = tmp / "modules.alias";
    velka_test::spew(stable, "alias pci:v*d*sv*sd*bc*sc*i* everything\n", 0600);
    int status = velka_test::run_in_child([&]() {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
        logcapture log;
        pci_cfg cfg(stable, velka::pci::alias_engine, log.src());
        size_t uidenied = log.count_containing("pci_cfg::alias_driverengine( )  Failed to open " +
                                               stable + " Permission denied");
        size_t uiunknown = log.count_containing(" | unknown driver ");
        return uidenied == 9 && uiunknown == 9 ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Root_Pci, EmptyDirectory) {
    VELKA_REQUIRE_ROOT();
    tempdir tmp;
    bind_mount bind(tmp.path(), s_devices);
    ASSERT_TRUE(bind.ok());
    logcapture log;
    pci_cfg cfg(velka_test::fixture("pci/modules.alias"), velka::pci::alias_engine, log.src());
    EXPECT_TRUE(records(cfg).empty());
    std::vector<std::string> lexpect = {
        msg("pci.cpp", "pci_cfg::pci_cfg", "/sys/bus/pci/devices/"),
        msg("pci.cpp", "pci_cfg::pci_cfg", "0"),
        msg("pci.cpp", "pci_cfg::pci_cfg", "Failed to parse PCI subsystem"),
    };
    EXPECT_EQ(log.messages(), lexpect);
}
