// PCI records without root: bus-id names, the directory filter and order, record formatting,
// the matching rules, the two table line parsers (the alias number reading checked against
// the C++ stream extraction it stands for), the class-name table against its fixture and the
// companion-module rules.
#include <dirent.h>

#include <cstring>
#include <fstream>
#include <list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/pci>

#include "internal/pci.h"

#include "velka_test.h"

using velka::pci::pci;
using velka::pci::pci_cfg;
using velka::pci::pci_loc;

namespace {

struct busidcase {
    const char* sname;
    int iret;
    unsigned int uizone, uibus, uidevice, uifunction, uibusid;
};

struct dirent makeent(const char* sname) {
    struct dirent ent;
    memset(&ent, 0, sizeof(ent));
    strncpy(ent.d_name, sname, sizeof(ent.d_name) - 1);
    return ent;
}

pci device(unsigned int v, unsigned int d, unsigned int sv, unsigned int sd, unsigned int cls) {
    pci p(nullptr);
    p.set_vendorid(v);
    p.set_deviceid(d);
    p.set_ssvendorid(sv);
    p.set_ssdeviceid(sd);
    p.set_class(cls);
    return p;
}

// The value the C++ stream gives for a token read with std::hex into an unsigned int.
unsigned int streamvalue(const std::string& stoken) {
    std::istringstream iss(stoken);
    unsigned int ui = 0;
    iss >> std::hex >> ui;
    return ui;
}

// The enumerator only to reach its tables; a table that does not exist keeps it from
// matching.
pci_cfg& cfg() {
    static pci_cfg s_cfg("/nonexistent/modules.alias", velka::pci::alias_engine, nullptr);
    return s_cfg;
}

}  // namespace

TEST(Unit_Pci, BusIdNames) {
    const busidcase acases[] = {
        {"0000:00:1f.2", 0, 0, 0, 0x1f, 2, 0xFA},
        {"0000:3b:00.1", 0, 0, 0x3b, 0, 1, 0x3B01},
        {"0001:00:05.0", 0, 1, 0, 5, 0, 0x28},
        {"ffff:ff:1f.7", 0, 0xffff, 0xff, 0x1f, 7, 0xFFFF},
        // Out-of-range fields are masked into the packed id.
        {"0000:1ff:3f.f", 0, 0, 0x1ff, 0x3f, 0xf, 0xFFFF},
        {"0000:00:1f", -1, 0, 0, 0, 0, 0},
        {"0000", -1, 0, 0, 0, 0, 0},
        {"", -1, 0, 0, 0, 0, 0},
        {"0000:zz", -1, 0, 0, 0, 0, 0},
        {"zz:00:00.0", -1, 0, 0, 0, 0, 0},
        {"0000:00:00.", -1, 0, 0, 0, 0, 0},
        {"0000:00:00.0junk", 0, 0, 0, 0, 0, 0},
        {"0000:99999999999999999999:00.0", 0, 0, 0xFFFFFFFF, 0, 0, 0xFF00},
    };
    for (const auto& c : acases) {
        SCOPED_TRACE(c.sname);
        pci_loc loc;
        ASSERT_EQ(velka::pci::parse_busid(c.sname, loc), c.iret);
        if (c.iret != 0) continue;
        EXPECT_EQ(loc.get_zone(), c.uizone);
        EXPECT_EQ(loc.get_bus(), c.uibus);
        EXPECT_EQ(loc.get_device(), c.uidevice);
        EXPECT_EQ(loc.get_function(), c.uifunction);
        EXPECT_EQ(loc.busid(), c.uibusid);
    }
    pci_loc loc;
    EXPECT_EQ(velka::pci::parse_busid(nullptr, loc), -1);
}

TEST(Unit_Pci, DirectoryFilterAndOrder) {
    const std::pair<const char*, int> afilter[] = {
        {".", 0},       {"..", 0},           {".cache:00:00.0", 0}, {"resource_list", 0},
        {"0000:zz", 0}, {"0000:00:1f.2", 1}, {"0001:3b:00.1", 1},
    };
    for (const auto& c : afilter) {
        struct dirent ent = makeent(c.first);
        EXPECT_EQ(velka::pci::select(&ent), c.second) << c.first;
    }
    struct dirent a = makeent("0000:00:1f.2"), b = makeent("0000:3b:00.1"),
                  c = makeent("0001:00:1f.2");
    const struct dirent *pa = &a, *pb = &b, *pc = &c;
    EXPECT_LT(velka::pci::sort(&pa, &pb), 0);
    EXPECT_GT(velka::pci::sort(&pb, &pa), 0);
    // Equal bus, device and function in two domains compare equal.
    EXPECT_EQ(velka::pci::sort(&pa, &pc), 0);
}

TEST(Unit_Pci, RecordText) {
    pci p(nullptr);
    EXPECT_EQ(p.get_drivers(), "");
    EXPECT_EQ(p.tostr(), "0000:0000:0000:00 00000000 00000000 00000000 00000000 00000000 |  ");
    pci_loc loc;
    ASSERT_EQ(velka::pci::parse_busid("0001:3b:00.1", loc), 0);
    p.set_zone(loc.get_zone());
    p.set_busid(loc.busid());
    p.set_vendorid(0x8086);
    p.set_deviceid(0x10d3);
    p.set_ssvendorid(0x8086);
    p.set_ssdeviceid(0xa01f);
    p.set_class(0x020000);
    p.set_classdesc("ethernet controller");
    EXPECT_EQ(p.busidtostr(), "59:0:1");
    EXPECT_EQ(p.get_bus(), 0x3bu);
    EXPECT_EQ(p.get_device(), 0u);
    EXPECT_EQ(p.get_function(), 1u);
    EXPECT_EQ(p.tostr(),
              "0x01:0x3b:0000:0x1 0x008086 0x0010d3 0x008086 0x00a01f 0x020000 | ethernet "
              "controller ");
    EXPECT_EQ(p.signature(), "0x01:0x3b:0000:0x1 0x008086 0x0010d3 0x008086 0x00a01f");
    p.set_driver("serio_raw");
    p.set_driver(std::list<std::string>{"", "hpilo"});
    EXPECT_EQ(p.get_drivers(), "serio_raw hpilo");
    pci q(p);
    EXPECT_EQ(q.get_driver().size(), 3u);
    EXPECT_EQ(q.tostr(), p.tostr());
    // A class description too long for the record's 512-byte text is cut, not overrun.
    p.set_classdesc(std::string(2000, 'x'));
    EXPECT_EQ(p.tostr().size(), 511u);
}

TEST(Unit_Pci, MatchingRules) {
    const unsigned int any = 0xFFFFFFFF;
    pci usb = device(0x8086, 0x1c26, 0x103c, 0x330d, 0x0C0320);
    struct rule {
        pci pattern;
        bool bmatch, bcompatible;
    } arules[] = {
        {device(any, any, any, any, 0xFFFFFF), true, true},
        {device(0x8086, any, any, any, 0xFFFFFF), true, true},
        {device(0x8087, any, any, any, 0xFFFFFF), false, false},
        {device(any, 0x1c26, 0x103c, 0x330d, 0x0C03FF), true, true},
        {device(any, any, any, 0x330e, 0xFFFFFF), false, false},
        // Alias matching compares the programming interface unless it is any (0xFF).
        {device(any, any, any, any, 0x0C0320), true, true},
        {device(any, any, any, any, 0x0C0330), true, false},
        {device(any, any, any, any, 0x0C0400), true, false},
        {device(any, any, any, any, 0x0DFF00), true, false},
    };
    for (size_t i = 0; i < sizeof(arules) / sizeof(arules[0]); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(usb.match(arules[i].pattern), arules[i].bmatch);
        EXPECT_EQ(usb.compatiable(arules[i].pattern), arules[i].bcompatible);
    }
    // pcimap: class under the mask.
    pci all = device(any, any, any, any, 0);
    all.set_mask(0);
    EXPECT_TRUE(usb == all);
    pci exact = device(any, any, any, any, 0x010802);
    exact.set_mask(0xFFFFFF);
    EXPECT_FALSE(usb == exact);
    EXPECT_TRUE(device(0x144d, 0xa808, 0, 0, 0x010802) == exact);
    EXPECT_FALSE(device(0x144d, 0xa808, 0, 0, 0x010801) == exact);
    pci byclass = device(any, any, any, any, 0x0C0300);
    byclass.set_mask(0xFFFF00);
    EXPECT_TRUE(usb == byclass);
}

TEST(Unit_Pci, AliasLines) {
    const unsigned int any = 0xFFFFFFFF;
    struct aliascase {
        std::string sline;
        int iret;
        unsigned int v, d, sv, sd, cls;
        const char* smodule;
    } acases[] = {
        {"alias pci:v00008086d000010D3sv*sd*bc*sc*i* e1000e", 0, 0x8086, 0x10d3, any, any, 0xFFFFFF,
         "e1000e"},
        {"alias pci:v*d*sv*sd*bc0Csc03i20* ehci_pci", 0, any, any, any, any, 0x0C0320, "ehci_pci"},
        {"alias\tpci:v0000103Cd00003307sv*sd*bc*sc*i*   hpilo\r", 0, 0x103c, 0x3307, any, any,
         0xFFFFFF, "hpilo"},
        {"alias pci:v00001AF4d*sv*sd*bc*sc*i*", 0, 0x1af4, any, any, any, 0xFFFFFF, ""},
        // The keyword is not examined.
        {"xyz pci:v00001AF4d*sv*sd*bc*sc*i* m", 0, 0x1af4, any, any, any, 0xFFFFFF, "m"},
        // Lower-case b, c and d split the pattern: wrong ids, or eight tokens.
        {"alias pci:v0000abcdd*sv*sd*bc*sc*i* lower", 0, 0xa, any, any, any, 0xFFFFFF, "lower"},
        {"alias pci:v00001b4Bd*sv*sd*bc*sc*i* lower", -1, 0, 0, 0, 0, 0, ""},
        // ... or shift the fields: vendor 0000a0, device 1, no device field left.
        {"alias pci:v0000a0b1sv*sd*bc*sc*i* shifted", 0, 0xa0, 1, any, any, 0xFFFFFF, "shifted"},
        {"alias pci:v*d*sv*sd*bc01sc08* six", -1, 0, 0, 0, 0, 0, ""},
        {"alias pci: empty", -1, 0, 0, 0, 0, 0, ""},
        // A value too long for 32 bits is the largest one, a class byte keeps its low byte.
        {"alias pci:v123456789d0x10sv-1sd+2bc1FFsc*i* odd", 0, any, 0x10, any, 2, 0xFFFFFF, "odd"},
        // Text after a NUL is not part of the pattern.
        {std::string("alias pci:v1d2sv3sd4bc5sc6i7\0v8 m", 33), 0, 1, 2, 3, 4, 0x050607, "m"},
        {"alias usb:v17E9p*d*dc*dsc*dp*icFFisc00ip00in* udlfb", 1, 0, 0, 0, 0, 0, ""},
        {"alias acpi*:INTC1085:* pinctrl_alderlake", 1, 0, 0, 0, 0, 0, ""},
        {"#alias pci:v*d*sv*sd*bc*sc*i* commented", 1, 0, 0, 0, 0, 0, ""},
        {"", 1, 0, 0, 0, 0, 0, ""},
        {"alias", 1, 0, 0, 0, 0, 0, ""},
        {"alias pci", 1, 0, 0, 0, 0, 0, ""},
    };
    for (const auto& c : acases) {
        SCOPED_TRACE(c.sline);
        pci pattern(nullptr);
        std::string spattern, smodule;
        int iret =
            velka::pci::parse_aliasline(c.sline.data(), c.sline.size(), pattern, spattern, smodule);
        ASSERT_EQ(iret, c.iret);
        if (iret == -1) {
            EXPECT_EQ(spattern.compare(0, 4, "pci:"), 0);
        }
        if (iret != 0) continue;
        EXPECT_EQ(pattern.get_vendorid(), c.v);
        EXPECT_EQ(pattern.get_deviceid(), c.d);
        EXPECT_EQ(pattern.get_ssvendorid(), c.sv);
        EXPECT_EQ(pattern.get_ssdeviceid(), c.sd);
        EXPECT_EQ(pattern.get_class(), c.cls);
        EXPECT_EQ(pattern.get_mask(), 0u);
        EXPECT_EQ(smodule, c.smodule);
    }
}

// The id fields read as the stream extraction reads them, for tokens of every shape.
TEST(Unit_Pci, AliasNumbersReadAsTheStreamDoes) {
    const char* atokens[] = {
        "0",  "00008086", "FFFFFFFF", "100000000", "0000000000012", "0x1F", "0X", "0xg", "+7", "-1",
        "-0", "x12",      "G",        "7G",        "20*",           "*1",   "**", "eE",  "-",  "+",
        "0x", "fffffffff"};
    for (const char* stoken : atokens) {
        SCOPED_TRACE(stoken);
        std::string sline =
            std::string("alias pci:v") + stoken + "d1sv2sd3bc" + stoken + "sc4i5 mod";
        pci pattern(nullptr);
        std::string spattern, smodule;
        ASSERT_EQ(
            velka::pci::parse_aliasline(sline.data(), sline.size(), pattern, spattern, smodule), 0);
        EXPECT_EQ(pattern.get_vendorid(), streamvalue(stoken));
        EXPECT_EQ(pattern.get_class() >> 16, streamvalue(stoken) & 0xFF);
    }
}

TEST(Unit_Pci, PcimapLines) {
    const unsigned int any = 0xFFFFFFFF;
    struct mapcase {
        std::string sline;
        int iret;
        unsigned int v, d, sv, sd, cls, mask;
        const char* smodule;
    } acases[] = {
        {"ehci_hcd             0xffffffff 0xffffffff 0xffffffff 0xffffffff 0x000c0320 "
         "0xffffffff 0x0",
         0, any, any, any, any, 0x0C0320, any, "ehci_hcd"},
        {"e1000e\t0x00008086 0x000010d3 0xffffffff 0xffffffff 0x0 0x0 0x0", 0, 0x8086, 0x10d3, any,
         any, 0, 0, "e1000e"},
        {"nvme ffffffff ffffffff ffffffff ffffffff 010802 ffffff 0", 0, any, any, any, any,
         0x010802, 0xFFFFFF, "nvme"},
        // Missing numbers stay 0; an unreadable one stops the reading.
        {"partial 0x1000 0x72", 0, 0x1000, 0x72, 0, 0, 0, 0, "partial"},
        {"bad 0x1000 zz 0x5 0x6", 0, 0x1000, 0, 0, 0, 0, 0, "bad"},
        {"", 0, 0, 0, 0, 0, 0, 0, ""},
        {"# pci module vendor device", 1, 0, 0, 0, 0, 0, 0, ""},
    };
    for (const auto& c : acases) {
        SCOPED_TRACE(c.sline);
        pci pattern(nullptr);
        std::string smodule;
        ASSERT_EQ(velka::pci::parse_pcimapline(c.sline, pattern, smodule), c.iret);
        if (c.iret != 0) continue;
        EXPECT_EQ(smodule, c.smodule);
        EXPECT_EQ(pattern.get_vendorid(), c.v);
        EXPECT_EQ(pattern.get_deviceid(), c.d);
        EXPECT_EQ(pattern.get_ssvendorid(), c.sv);
        EXPECT_EQ(pattern.get_ssdeviceid(), c.sd);
        EXPECT_EQ(pattern.get_class(), c.cls);
        EXPECT_EQ(pattern.get_mask(), c.mask);
    }
    // An empty line is a pattern of zeros: it fits only a function whose four ids are 0.
    pci pattern(nullptr);
    std::string smodule;
    velka::pci::parse_pcimapline("", pattern, smodule);
    EXPECT_TRUE(device(0, 0, 0, 0, 0x123456) == pattern);
    EXPECT_FALSE(device(0, 0, 0, 1, 0) == pattern);
}

// Every base class and subclass against the fixture table; the interface byte never counts.
TEST(Unit_Pci, ClassNames) {
    std::ifstream in(velka_test::fixture("pci/classnames.txt"));
    std::string sline;
    std::map<unsigned int, std::string> mnames;
    while (std::getline(in, sline)) {
        unsigned int uibase = std::stoul(sline.substr(0, 2), nullptr, 16);
        unsigned int uisub = std::stoul(sline.substr(3, 2), nullptr, 16);
        mnames[(uibase << 8) | uisub] = sline.substr(6);
    }
    ASSERT_EQ(mnames.size(), 83u);
    for (unsigned int uic = 0; uic <= 0xFFFF; ++uic) {
        auto it = mnames.find(uic);
        std::string sexpect = it == mnames.end() ? "unknown pci device" : it->second;
        ASSERT_EQ(cfg().pciclass(uic << 8), sexpect) << std::hex << uic;
        ASSERT_EQ(cfg().pciclass((uic << 8) | 0x5A), sexpect) << std::hex << uic;
    }
    EXPECT_EQ(cfg().pciclass(0x020000), "ethernet controller");
    EXPECT_EQ(cfg().pciclass(0x0C0330), "usb");
    EXPECT_EQ(cfg().pciclass(0x010802), "unknown pci device");
    EXPECT_EQ(cfg().pciclass(0x0F0000), "unknown pci device");
    EXPECT_EQ(cfg().pciclass(0xFF0000), "unknown pci device");
    // Bits above the 24-bit code are ignored.
    EXPECT_EQ(cfg().pciclass(0x7F020000), "ethernet controller");
}

TEST(Unit_Pci, CompanionModules) {
    struct depcase {
        const char* sdriver;
        std::list<std::string> lpre, lpost;
    } acases[] = {
        {"hpilo", {"serio_raw"}, {}},
        {"ehci_hcd", {}, {"usb-storage"}},
        {"ehci-hcd", {}, {"usb-storage"}},
        {"uhci_hcd", {}, {"usb-storage"}},
        {"uhci-hcd", {}, {"usb-storage"}},
        {"ohci_hcd", {}, {"usb-storage"}},
        {"ohci-hcd", {}, {"usb-storage"}},
        {"ehci_pci", {}, {"usb-storage"}},
        {"ohci-pci", {}, {"usb-storage"}},
        {"xhci_pci", {}, {"usb-storage"}},
        {"xhci-hcd", {}, {"usb-storage"}},
        {"uhci_pci", {}, {}},
        {"xhci_plat_hcd", {}, {}},
        {"HPILO", {}, {}},
        {"", {}, {}},
    };
    for (const auto& c : acases) {
        std::list<std::string> lpre{"stale"}, lpost{"stale"};
        cfg().get_dependencies(c.sdriver, lpre, lpost);
        EXPECT_EQ(lpre, c.lpre) << c.sdriver;
        EXPECT_EQ(lpost, c.lpost) << c.sdriver;
    }
}
