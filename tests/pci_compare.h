// The comparison of an enumeration of this machine's real PCI functions with lspci and with a
// matcher written from the modules.alias format (fnmatch over the kernel's own modalias),
// shared by the root tests on the host and the lab tests in the VM.
#ifndef VELKA_PCI_COMPARE_H
#define VELKA_PCI_COMPARE_H

#include <fnmatch.h>
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

namespace pci_test {

using velka::pci::pci;
using velka::pci::pci_cfg;
using velka_test::logcapture;
using velka_test::msg;

const std::string s_devices = "/sys/bus/pci/devices";

inline std::vector<pci> records(pci_cfg& cfg) {
    std::vector<pci> v;
    cfg.for_each_pci([](pci& p, void* arg) { static_cast<std::vector<pci>*>(arg)->push_back(p); },
                     &v);
    // The lambda and by-value forms give the same records in the same order.
    std::vector<std::string> vptr, vlambda, vvalue;
    for (const auto& p : v) vptr.push_back(p.tostr());
    cfg.for_each_pci([&vlambda](pci& p) { vlambda.push_back(p.tostr()); });
    for (const auto& p : cfg.get_devices()) vvalue.push_back(p.tostr());
    EXPECT_EQ(vlambda, vptr);
    EXPECT_EQ(vvalue, vptr);
    return v;
}

inline std::string uname_release() {
    struct utsname u;
    return uname(&u) == 0 ? u.release : "";
}

// The running kernel's module directory, or else the newest installed one with a
// modules.alias ("" when there is none).
inline std::string kerneldir() {
    std::string srun = "/lib/modules/" + uname_release();
    if (access((srun + "/modules.alias").c_str(), R_OK) == 0) return srun;
    std::string sout;
    velka_test::sh("ls -d /lib/modules/*/modules.alias 2>/dev/null | sort -V | tail -n 1", &sout);
    while (!sout.empty() && sout.back() == '\n') sout.pop_back();
    if (sout.empty()) return "";
    return sout.substr(0, sout.rfind('/'));
}

inline std::string normalised(std::string s) {
    std::replace(s.begin(), s.end(), '-', '_');
    return s;
}

// The companion modules the enumerator adds around a matched module: usb-storage after a USB
// host controller's ({e,o,u,x}hci_hcd and {e,o,x}hci_pci, either spelling: UHCI has no PCI glue
// module of its own).
inline std::list<std::string> withcompanions(const std::string& smodule) {
    if (smodule == "hpilo") return {"serio_raw", "hpilo"};
    std::string s = normalised(smodule);
    if (s.size() == 8 && std::string("eoux").find(s[0]) != std::string::npos &&
        s.compare(1, 4, "hci_") == 0 &&
        (s.compare(5, 3, "hcd") == 0 || (s.compare(5, 3, "pci") == 0 && s[0] != 'u')))
        return {smodule, "usb-storage"};
    return {smodule};
}

// The alias lines of a table in file order: pattern and module.
inline std::vector<std::pair<std::string, std::string>> aliaslines(const std::string& stable) {
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

// The first module whose pattern fnmatch accepts for the modalias, as kmod chooses.
inline std::string firstmodule(const std::vector<std::pair<std::string, std::string>>& laliases,
                               const std::string& smodalias) {
    for (const auto& a : laliases)
        if (fnmatch(a.first.c_str(), smodalias.c_str(), 0) == 0) return a.second;
    return "";
}

struct lspcirecord {
    std::string sslot;
    unsigned int uiclass, uivendor, uidevice, uissvendor, uissdevice;
};

inline unsigned int hex(const std::string& s) {
    return s.empty() ? 0 : static_cast<unsigned int>(std::stoul(s, nullptr, 16));
}

// lspci -n -mm -D [sargs]: slot "class" "vendor" "device" [-rREV] [-pPROGIF] "svendor"
// "sdevice"
inline std::vector<lspcirecord> lspci_records(const std::string& sargs = "") {
    std::vector<lspcirecord> v;
    std::string sout;
    if (velka_test::sh("lspci -n -mm -D " + sargs + " 2>/dev/null", &sout) != 0) return v;
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
inline std::map<std::string, std::set<std::string>> lspci_modules() {
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

inline std::map<unsigned int, std::string> classnames() {
    std::map<unsigned int, std::string> m;
    std::ifstream in(velka_test::fixture("pci/classnames.txt"));
    std::string sline;
    while (std::getline(in, sline))
        m[(hex(sline.substr(0, 2)) << 8) | hex(sline.substr(3, 2))] = sline.substr(6);
    return m;
}

inline std::string classname(unsigned int uiclass) {
    static std::map<unsigned int, std::string> s_names = classnames();
    auto it = s_names.find(uiclass >> 8);
    return it == s_names.end() ? "unknown pci device" : it->second;
}

inline std::string slotof(const pci& p) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%04x:%02x:%02x.%x", p.get_zone(), p.get_bus(), p.get_device(),
             p.get_function());
    return buf;
}

inline std::string devline(const pci& p) {
    if (p.get_driver().empty())
        return msg("pci.cpp", "pci_cfg::enumerate_drivers", p.tostr() + " | unknown driver ");
    return msg("pci.cpp", "pci_cfg::enumerate_drivers", p.tostr() + " |" + p.get_drivers());
}

// Enumerates this machine with the alias table stable and checks every record: ids and class
// against lspci -n -mm -D, the class name against the table, the drivers against the first
// alias line fnmatch accepts (as kmod chooses), and the matched module against lspci -k's
// "Kernel modules".
inline void compare_with_lspci(const std::string& stable) {
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
        std::string sfirst = firstmodule(laliases, smodalias);
        std::list<std::string> lexpect;
        if (!sfirst.empty()) lexpect = withcompanions(sfirst);
        EXPECT_EQ(p.get_driver(), lexpect);
        EXPECT_TRUE(log.has(devline(p)));
        if (sfirst.empty()) continue;
        ++uimatched;
        // lspci -k asks kmod, which chooses the same line: it must list the module.
        auto it = mmodules.find(l.sslot);
        if (it == mmodules.end()) continue;
        EXPECT_EQ(it->second.count(normalised(sfirst)), 1u) << sfirst;
        ++uiagreed;
    }
    if (uimatched > 0) {
        EXPECT_GT(uiagreed, 0u) << "lspci -k listed no kernel module";
    }
    printf("%zu functions, %zu with a driver, %zu agreeing with lspci -k (%s)\n", lrecords.size(),
           uimatched, uiagreed, stable.c_str());
}

}  // namespace pci_test

#endif
