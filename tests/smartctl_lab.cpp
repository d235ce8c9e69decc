// lab-args: --disk sata:size=64M,serial=VELKASMART1
// lab-args: --disk scsi-hd:size=64M,serial=VELKASMART2
//
// SMART health from the real smartctl on the lab's disks: an ATA disk on AHCI with an
// attribute table and a SCSI disk without one. Each reading is checked against smartctl's
// own JSON report of the same disk (smartctl -j), read by python3.
#include <list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/smartctl>
#include <velka/utilities>

#include "velka_test.h"

using velka::smartctl::param;
using velka::smartctl::smartctl;
using velka::utilities::utilities;

namespace {

std::string diskbyserial(const std::string& sserial) {
    std::list<std::string> l;
    utilities::readdir("/sys/block", l);
    for (const auto& s : l) {
        if (s.compare(0, 2, "sd") == 0 &&
            velka_test::slurp("/sys/block/" + s + "/device/vpd_pg80").find(sserial) !=
                std::string::npos)
            return "/dev/" + s;
    }
    return "";
}

// "{id} {value} {worst} {thresh} {flags} {leading number of the raw string}" per attribute,
// and "passed {0|1}" from the JSON report.
std::vector<std::string> jsonreport(const std::string& sdisk) {
    std::string sout;
    velka_test::sh("smartctl -j -H -A " + sdisk +
                       " | python3 -c 'import json, re, sys\n"
                       "d = json.load(sys.stdin)\n"
                       "print(\"passed\", int(d.get(\"smart_status\", {}).get(\"passed\", 0)))\n"
                       "for a in d.get(\"ata_smart_attributes\", {}).get(\"table\", []):\n"
                       "    m = re.match(r\"[0-9]+\", a[\"raw\"][\"string\"])\n"
                       "    print(a[\"id\"], a[\"value\"], a[\"worst\"], a[\"thresh\"], "
                       "a[\"flags\"][\"value\"], m.group() if m else 0)\n'",
                   &sout);
    std::vector<std::string> v;
    std::istringstream in(sout);
    std::string s;
    while (std::getline(in, s)) v.push_back(s);
    return v;
}

void describe(param& p, void* arg) {
    static_cast<std::vector<std::string>*>(arg)->push_back(
        std::to_string(p.get_id()) + " " + std::to_string(p.get_value()) + " " +
        std::to_string(p.get_worst()) + " " + std::to_string(p.get_threshold()) + " " +
        std::to_string(p.get_flag()) + " " + std::to_string(p.get_rawval()));
}

}  // namespace

TEST(Lab_Smartctl, AtaAndScsiDisksAgainstSmartctlsJsonReport) {
    VELKA_REQUIRE_TOOL("smartctl");
    VELKA_REQUIRE_TOOL("python3");
    for (const char* sserial : {"VELKASMART1", "VELKASMART2"}) {
        SCOPED_TRACE(sserial);
        std::string sdisk = diskbyserial(sserial);
        ASSERT_FALSE(sdisk.empty()) << "the lab was started without the disk " << sserial;
        std::vector<std::string> vjson = jsonreport(sdisk);
        ASSERT_FALSE(vjson.empty());

        smartctl disk(sdisk, nullptr);
        ASSERT_EQ(disk.extractoverallhealth(), 0);
        ASSERT_EQ(disk.extractparams(), 0);
        std::vector<std::string> vmine{std::string("passed ") +
                                       (disk.getoverallhealth() ? "1" : "0")};
        disk.for_each_attr(describe, &vmine);
        EXPECT_EQ(vmine, vjson);
        EXPECT_TRUE(disk.getoverallhealth());
        EXPECT_TRUE(disk.attrhealthy());
        std::list<param> lfaulty;
        EXPECT_EQ(disk.getfaultyattrs(lfaulty), 0);
        EXPECT_TRUE(lfaulty.empty());
        // The ATA disk has an attribute table, the SCSI disk none.
        EXPECT_EQ(vmine.size() > 1, std::string(sserial) == "VELKASMART1");
    }
}
