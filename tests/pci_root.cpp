// PCI enumeration as root: the real functions of this host and the real modules.alias of its
// newest installed kernel, checked against lspci (ids, classes, kernel modules) and against a
// matcher written here from the alias format with fnmatch over the kernel's own modalias;
// then fixture sysfs trees bound over /sys/bus/pci/devices in the test's private mount
// namespace, matched against fixture tables in both formats.
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/utsname.h>
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

#include "logcapture.h"
#include "velka_test.h"

using velka::pci::pci;
using velka::pci::pci_cfg;
using velka_test::bind_mount;
using velka_test::logcapture;
using velka_test::msg;
using velka_test::tempdir;

namespace {

const std::string s_devices = "/sys/bus/pci/devices";

std::vector<pci> records(pci_cfg& cfg) {
    std::vector<pci> v;
    cfg.for_each_pci([](pci& p, void* arg) { static_cast<std::vector<pci>*>(arg)->push_back(p); },
                     &v);
    return v;
}

std::string uname_release() {
    struct utsname u;
    return uname(&u) == 0 ? u.release : "";
}

// The running kernel's module directory, or else the newest installed one with a
// modules.alias ("" when there is none).
std::string kerneldir() {
    std::string srun = "/lib/modules/" + uname_release();
    if (access((srun + "/modules.alias").c_str(), R_OK) == 0) return srun;
    std::string sout;
    velka_test::sh("ls -d /lib/modules/*/modules.alias 2>/dev/null | sort -V | tail -n 1", &sout);
    while (!sout.empty() && sout.back() == '\n') sout.pop_back();
    if (sout.empty()) return "";
    return sout.substr(0, sout.rfind('/'));
}

std::string normalised(std::string s) {
    std::replace(s.begin(), s.end(), '-', '_');
    return s;
}

// The companion modules the enumerator adds around a matched module.
std::list<std::string> withcompanions(const std::string& smodule) {
    if (smodule == "hpilo") return {"serio_raw", "hpilo"};
    for (const char* s : {"ehci_hcd", "ehci-hcd", "uhci_hcd", "uhci-hcd", "ohci_hcd", "ohci-hcd"})
        if (smodule == s) return {smodule, "usb-storage"};
    return {smodule};
}

// The alias lines of a table in file order: pattern and module.
std::vector<std::pair<std::string, std::string>> aliaslines(const std::string& stable) {
    std::vector<std::pair<std::string, std::string>> v;
    std::ifstream in(stable);
    std::string sline;
    while (std::getline(in, sline)) {
        std::istringstream iss(sline);
        std::string skw, spattern, smodule;
        if (!(iss >> skw >> spattern >> smodule) || skw != "alias") continue;
        if (spattern.compare(0, 4, "pci:") != 0) continue;
        v.emplace_back(spattern, smodule);
    }
    return v;
}

// The first module whose pattern fnmatch accepts for the modalias. With bignoreif the
// pattern's interface field is made "*" first (the enumerator does not compare it).
std::string firstmodule(const std::vector<std::pair<std::string, std::string>>& laliases,
                        const std::string& smodalias,
                        bool bignoreif) {
    for (const auto& a : laliases) {
        std::string spattern = a.first;
        if (bignoreif) {
            size_t p = spattern.rfind('i');
            if (p != std::string::npos && spattern.rfind("sc") < p)
                spattern.replace(p, std::string::npos, "i*");
        }
        if (fnmatch(spattern.c_str(), smodalias.c_str(), 0) == 0) return a.second;
    }
    return "";
}

struct lspcirecord {
    std::string sslot;
    unsigned int uiclass, uivendor, uidevice, uissvendor, uissdevice;
};

unsigned int hex(const std::string& s) {
    return s.empty() ? 0 : static_cast<unsigned int>(std::stoul(s, nullptr, 16));
}

// lspci -n -mm -D: slot "class" "vendor" "device" [-rREV] [-pPROGIF] "svendor" "sdevice"
std::vector<lspcirecord> lspci_records() {
    std::vector<lspcirecord> v;
    std::string sout;
    if (velka_test::sh("lspci -n -mm -D 2>/dev/null", &sout) != 0) return v;
    std::istringstream in(sout);
    std::string sline;
    while (std::getline(in, sline)) {
        std::vector<std::string> lquoted;
        unsigned int uiprogif = 0;
        std::istringstream iss(sline);
        std::string sslot, sword;
        iss >> sslot;
        while (iss >> sword) {
            if (sword[0] == '"')
                lquoted.push_back(sword.substr(1, sword.size() - 2));
            else if (sword.compare(0, 2, "-p") == 0)
                uiprogif = hex(sword.substr(2));
        }
        if (lquoted.size() < 5) continue;
        v.push_back({sslot, (hex(lquoted[0]) << 8) | uiprogif, hex(lquoted[1]), hex(lquoted[2]),
                     hex(lquoted[3]), hex(lquoted[4])});
    }
    return v;
}

// lspci -k: the "Kernel modules:" of each slot (domain 0000 implied).
std::map<std::string, std::set<std::string>> lspci_modules() {
    std::map<std::string, std::set<std::string>> m;
    std::string sout;
    velka_test::sh("lspci -k -D 2>/dev/null", &sout);
    std::istringstream in(sout);
    std::string sline, sslot;
    while (std::getline(in, sline)) {
        if (!sline.empty() && sline[0] != '\t' && sline[0] != ' ') {
            sslot = sline.substr(0, sline.find(' '));
            continue;
        }
        const std::string skey = "Kernel modules: ";
        size_t p = sline.find(skey);
        if (p == std::string::npos) continue;
        std::istringstream iss(sline.substr(p + skey.size()));
        std::string s;
        while (std::getline(iss, s, ',')) {
            s.erase(0, s.find_first_not_of(' '));
            m[sslot].insert(normalised(s));
        }
    }
    return m;
}

std::map<unsigned int, std::string> classnames() {
    std::map<unsigned int, std::string> m;
    std::ifstream in(velka_test::fixture("pci/classnames.txt"));
    std::string sline;
    while (std::getline(in, sline))
        m[(hex(sline.substr(0, 2)) << 8) | hex(sline.substr(3, 2))] = sline.substr(6);
    return m;
}

std::string classname(unsigned int uiclass) {
    static std::map<unsigned int, std::string> s_names = classnames();
    auto it = s_names.find(uiclass >> 8);
    return it == s_names.end() ? "unknown pci device" : it->second;
}

std::string slotof(const pci& p) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%04x:%02x:%02x.%x", p.get_zone(), p.get_bus(), p.get_device(),
             p.get_function());
    return buf;
}

std::string devline(const pci& p) {
    if (p.get_driver().empty())
        return msg("pci.cpp", "pci_cfg::enumerate_drivers", p.tostr() + " | unknown driver ");
    return msg("pci.cpp", "pci_cfg::enumerate_drivers", p.tostr() + " |" + p.get_drivers());
}

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

}  // namespace

// Every function of this host: ids and class as lspci reads them, class names from the table,
// drivers as the first alias line an fnmatch matcher accepts (interface ignored), and the
// matched module among lspci -k's kernel modules where the interface agrees too.
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

    logcapture log;
    pci_cfg cfg(stable, velka::pci::alias_engine, log.src());
    std::vector<pci> lrecords = records(cfg);
    std::vector<lspcirecord> llspci = lspci_records();
    std::map<std::string, std::set<std::string>> mmodules = lspci_modules();
    auto laliases = aliaslines(stable);
    ASSERT_FALSE(laliases.empty());

    ASSERT_EQ(lrecords.size(), llspci.size());
    ASSERT_GT(lrecords.size(), 0u);
    EXPECT_TRUE(
        log.has(msg("pci.cpp", "pci_cfg::pci_cfg", "Will use modules.alias driver engine")));
    EXPECT_TRUE(log.has(msg("pci.cpp", "pci_cfg::enumerate_drivers", stable)));
    size_t uiagreed = 0, uimatched = 0;
    for (size_t i = 0; i < lrecords.size(); ++i) {
        const pci& p = lrecords[i];
        const lspcirecord& l = llspci[i];
        SCOPED_TRACE(l.sslot);
        EXPECT_EQ(slotof(p), l.sslot);
        EXPECT_EQ(p.get_vendorid(), l.uivendor);
        EXPECT_EQ(p.get_deviceid(), l.uidevice);
        EXPECT_EQ(p.get_ssvendorid(), l.uissvendor);
        EXPECT_EQ(p.get_ssdeviceid(), l.uissdevice);
        EXPECT_EQ(p.get_class(), l.uiclass);
        EXPECT_EQ(p.get_classdesc(), classname(l.uiclass));

        std::string smodalias = velka_test::slurp(s_devices + "/" + l.sslot + "/modalias");
        while (!smodalias.empty() && smodalias.back() == '\n') smodalias.pop_back();
        ASSERT_FALSE(smodalias.empty());
        std::string sfirst = firstmodule(laliases, smodalias, true);
        std::list<std::string> lexpect;
        if (!sfirst.empty()) lexpect = withcompanions(sfirst);
        EXPECT_EQ(p.get_driver(), lexpect);
        EXPECT_TRUE(log.has(devline(p)));
        if (sfirst.empty()) continue;
        ++uimatched;
        // kmod compares the interface too: where both choose the same line, lspci -k must
        // list the module.
        auto it = mmodules.find(l.sslot);
        if (it == mmodules.end()) continue;
        if (firstmodule(laliases, smodalias, false) != sfirst) {
            printf("%s: %s is the first line without its interface; kmod lists", l.sslot.c_str(),
                   sfirst.c_str());
            for (const auto& s : it->second) printf(" %s", s.c_str());
            printf("\n");
            continue;
        }
        EXPECT_EQ(it->second.count(normalised(sfirst)), 1u) << sfirst;
        ++uiagreed;
    }
    if (uimatched > 0) {
        EXPECT_GT(uiagreed, 0u) << "lspci -k listed no kernel module";
    }
    printf("%zu functions, %zu with a driver, %zu agreeing with lspci -k (%s)\n", lrecords.size(),
           uimatched, uiagreed, stable.c_str());
}

// The crafted tree with both tables: bus order across domains, skipped functions with their
// messages, first fitting entry wins, companions, interface ignored by the alias engine only.
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
        {"0000:00:1a.0", 0x8086, 0x1c2c, 0x103c, 0x330d, 0x0c0300, "ehci_hcd usb-storage",
         "uhci_hcd usb-storage"},
        {"0000:00:1a.1", 0x1022, 0x7807, 0x103c, 0x330d, 0x0c0310, "ehci_hcd usb-storage",
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
        EXPECT_EQ(p.get_drivers(), firstmodule(laliases, smodalias, true)) << slotof(p);
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
