// RAID detection without root: the RAID level classification, dmidecode's system block, the
// RAID tool's summaries and drive listings read from fixture files through the parsers the
// operations use, and dmidecode replaced by a fake on PATH.
#include <list>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/detectraid>
#include <velka/utilities>

#include "internal/detectraid.h"

#include "logcapture.h"
#include "velka_test.h"

using velka::bmr::adapter;
using velka::bmr::get_raid_type;
using velka::bmr::physical_disk;
using velka::bmr::platform;
using velka::bmr::virtual_disk;
using velka_test::fake_tools;
using velka_test::logcapture;

namespace {

std::list<std::string> lines(const std::string& sfixture) {
    std::list<std::string> l;
    std::istringstream in(velka_test::slurp(velka_test::fixture(sfixture)));
    std::string s;
    // As utilities::popen hands them over: trimmed.
    while (std::getline(in, s)) {
        size_t b = s.find_first_not_of(" \t\r\n");
        size_t e = s.find_last_not_of(" \t\r\n");
        l.push_back(b == std::string::npos ? "" : s.substr(b, e - b + 1));
    }
    return l;
}

// "name/target:media,media" for each kept virtual drive, in list order.
std::vector<std::string> describe(adapter& a) {
    std::vector<std::string> v;
    for (virtual_disk* pv : a.get_virt_list()) {
        std::string s = pv->get_raid_type() + "/" + std::to_string(pv->get_targetid()) + ":";
        for (physical_disk* pp : pv->get_phy_list()) s += pp->get_media_type() + ",";
        v.push_back(s);
    }
    return v;
}

}  // namespace

TEST(Unit_DetectRaid, RaidLevelValues) {
    struct levelcase {
        const char* s;
        const char* sresult;
    };
    const std::vector<levelcase> cases = {
        {"Primary-1, Secondary-0, RAID Level Qualifier-0", "RAID-1"},
        {"Primary-1, Secondary-3, RAID Level Qualifier-0", "RAID-1"},  // secondary ignored
        {"Primary-1, Secondary-0, RAID Level Qualifier-1", "RAID-1"},
        {" Primary-1 , Secondary-0 , RAID Level Qualifier- 1 ", "RAID-1"},
        {",,Primary-1,,Secondary-0,,RAID Level Qualifier-0,,", "RAID-1"},  // empty fields dropped
        {"Primary-5, Secondary-0, RAID Level Qualifier-3", ""},
        {"Primary-1, Secondary-0, RAID Level Qualifier-3", ""},
        {"Primary-0, Secondary-0, RAID Level Qualifier-0", ""},
        {"Primary-10, Secondary-0, RAID Level Qualifier-0", ""},
        // Fewer than three fields: no level, nothing thrown.
        {"Primary-1, Secondary-0", ""},
        {"Primary-1", ""},
        {"", ""},
        {",,,", ""},
        // Fields without '-'.
        {"Primary1, Secondary-0, RAID Level Qualifier-0", ""},
        {"Primary-1, Secondary-0, RAID Level Qualifier0", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(get_raid_type(c.s), c.sresult) << c.s;
}

TEST(Unit_DetectRaid, DriveListingsOfEachAdapter) {
    struct listingcase {
        const char* sfile;
        std::vector<std::string> vdrives;
        size_t uiraid1logs;
    };
    const std::vector<listingcase> cases = {
        // Two RAID-1 drives: the later first, each with its drives last-seen first; the RAID-5
        // drive is not kept.
        {"megacli/ldpdinfo-a0.out",
         {"LOG_MIRROR/2:Solid State Device,Solid State Device,",
          "OS_MIRROR/0:Hard Disk Device,Hard Disk Device,"},
         2},
        {"megacli/ldpdinfo-a1.out", {}, 0},
        {"megacli/empty.out", {}, 0},
        // Lines before any drive act on nothing; a drive without a target id keeps 0; a RAID
        // level of fewer fields is no level; a drive is kept once however often its level
        // is repeated; blanks around the level numbers are trimmed.
        {"megacli/ldpdinfo-malformed.out", {"/-2:", "SHORT/0:,,"}, 2},
        // -LdInfo listings of real controllers (check_raid and FusionInventory samples).
        // The older spelling "Virtual Disk: 0 (Target Id: 0)" starts a drive as well.
        {"megacli/check_raid__megacli.ldinfo.1", {"OS/0:"}, 1},
        {"megacli/check_raid__issue41__ldinfo", {"/2:", "/1:", "/0:"}, 3},
        {"megacli/check_raid__issue85__ldinfo", {"Virtual Disk 0/0:"}, 1},
        {"megacli/check_raid__issue123__ldinfo", {}, 0},
        {"megacli/check_raid__issue39__batteries.ldinfo", {}, 0},
        {"megacli/check_raid__issue39__batteries.ldinfo.2", {"/0:"}, 1},
        {"megacli/fusioninv__set6_LDinfo", {"Virtual Disk 2/2:", "Virtual Disk 0/0:"}, 2},
        {"megacli/fusioninv__set4_ShowSummary", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sfile);
        logcapture log;
        adapter a;
        a.set_log_source(log.src());
        a.parseldpdinfo(lines(c.sfile));
        EXPECT_EQ(describe(a), c.vdrives);
        EXPECT_EQ(
            log.count_containing("detectraid.cpp::adapter::set_details( )  RAID level 1 found"),
            c.uiraid1logs);
    }
}

TEST(Unit_DetectRaid, MalformedListingTargetIds) {
    adapter a;
    a.parseldpdinfo({"Virtual Drive: 4 (Target Id: 99999999999999999999)",
                     "RAID Level : Primary-1, Secondary-0, RAID Level Qualifier-0",
                     "Virtual Drive: -2 (Target Id: -2)",
                     "RAID Level : Primary-1, Secondary-0, RAID Level Qualifier-0",
                     "Virtual Drive: 5 (Target Id: 17)", "RAID Level : Primary-1, , ,",
                     "Virtual Drive: 6 (Target Id: 6)",
                     "RAID Level : Primary-1, Secondary-0, RAID Level Qualifier-0", "PD: 0",
                     "Media Type: Hard Disk Device", "Virtual Drive: 7 (Target Id: 7)",
                     "Media Type: Solid State Device"});
    std::vector<int> v;
    for (virtual_disk* p : a.get_virt_list()) v.push_back(p->get_targetid());
    EXPECT_EQ(v, (std::vector<int>{6, -2, 2147483647}));
    // The media type after drive 7 began has no physical drive of drive 7 to go to.
    EXPECT_EQ(describe(a)[0], "/6:Hard Disk Device,");
}

TEST(Unit_DetectRaid, ManufacturerFromDmidecode) {
    struct dmicase {
        const char* sfile;
        int iret;
        const char* sname;
    };
    const std::vector<dmicase> cases = {
        {"dmidecode/cisco-ucs-c240.out", 0, "Cisco Systems Inc"},
        {"dmidecode/qemu-i440fx.out", 0, "QEMU"},
        {"dmidecode/no-smbios.out", 0, ""},
        // The block whose next line is not the manufacturer is passed over; the base board's
        // manufacturer does not count.
        {"dmidecode/no-manufacturer-line.out", 0, "Dell Inc."},
        {"dmidecode/manufacturer-without-colon.out", -1, ""},
        {"dmidecode/system-information-last.out", 0, ""},
        {"megacli/empty.out", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sfile);
        std::string sname = "stale";
        EXPECT_EQ(velka::bmr::parseplatformname(lines(c.sfile), sname, nullptr), c.iret);
        EXPECT_EQ(sname, c.sname);
    }
}

// dmidecode of real machines: the name is the value of the first System Information block
// whose next line is its Manufacturer (or, before dmidecode 2.3, its Vendor).
TEST(Unit_DetectRaid, ManufacturerOfRealMachines) {
    const std::regex header("^System Information( Block)?$");
    const std::regex name("^(Manufacturer|Vendor): *(.*)$");
    std::list<std::string> lfiles;
    ASSERT_EQ(velka::utilities::utilities::readdir(velka_test::fixture("dmidecode/corpus"), lfiles),
              0);
    size_t unamed = 0;
    for (const auto& sfile : lfiles) {
        SCOPED_TRACE(sfile);
        auto l = lines("dmidecode/corpus/" + sfile);
        std::string sexpect, sname = "stale";
        std::smatch m;
        for (auto it = l.begin(); sexpect.empty() && it != l.end(); ++it)
            if (std::regex_match(*it, header) && std::next(it) != l.end() &&
                std::regex_match(*std::next(it), m, name))
                sexpect = m[2];
        EXPECT_EQ(velka::bmr::parseplatformname(l, sname, nullptr), 0);
        EXPECT_EQ(sname, sexpect);
        unamed += !sexpect.empty();
    }
    EXPECT_EQ(unamed, 24u);
}

TEST(Unit_DetectRaid, AdapterPresenceFromTheSummary) {
    EXPECT_TRUE(velka::bmr::adapterpresent(lines("megacli/summary-a0.out")));
    EXPECT_TRUE(velka::bmr::adapterpresent(lines("megacli/summary-a1.out")));
    EXPECT_TRUE(velka::bmr::adapterpresent(lines("megacli/fusioninv__set4_ShowSummary")));
    EXPECT_FALSE(velka::bmr::adapterpresent(lines("megacli/summary-absent.out")));
    // No exit code: nothing says the adapter is there (a tool that is missing prints nothing).
    EXPECT_FALSE(velka::bmr::adapterpresent(lines("megacli/summary-no-exit-code.out")));
    EXPECT_FALSE(velka::bmr::adapterpresent(lines("megacli/empty.out")));
    EXPECT_FALSE(velka::bmr::adapterpresent({"Exit Code: 0x00", "Exit Code: 0x01"}));
    EXPECT_TRUE(velka::bmr::adapterpresent({"Exit Code 0x01", "Exit Code:0x00 "}));
}

TEST(Unit_DetectRaid, NameFromTheDmidecodeToolAndNoRaidToolOffCisco) {
    fake_tools fakes;
    fakes.add_fixture("dmidecode", "dmidecode/qemu-i440fx.out");
    logcapture log;
    platform p(log.src());
    EXPECT_EQ(p.get_platform_name(), "");
    EXPECT_EQ(p.get_adp_count(), 0);
    p.set_platform_details();
    EXPECT_EQ(p.get_platform_name(), "QEMU");
    EXPECT_TRUE(p.get_adp_list().empty());
    EXPECT_EQ(p.get_adp_count(), 0);
    EXPECT_EQ(fakes.calls(), (std::vector<std::string>{"dmidecode"}));
    EXPECT_EQ(log.count_containing("Executing the command"), 0u);

    fakes.add("dmidecode", "", 1);
    platform failing(nullptr);
    EXPECT_EQ(failing.set_platform_name(), 0);  // it ran; its output holds no name
    EXPECT_EQ(failing.get_platform_name(), "");
}

TEST(Unit_DetectRaid, UpdateCount) {
    platform p(nullptr);
    EXPECT_EQ(p.update_count(3), 3);
    EXPECT_EQ(p.get_adp_count(), 3);
    EXPECT_EQ(p.update_count(-1), 0);
}
