// lab-args: --disk sata:size=64M,serial=VELKAINVS1
// lab-args: --disk nvme:size=64M,serial=VELKAINVN1
// lab-args: --disk scsi-hd:size=256M,serial=VELKAINVL1
// lab-args: --disk scsi-hd:size=256M,serial=VELKAINVL2
//
// velka-inventory --prometheus on the lab's real disks (SATA on AHCI, NVMe, two SCSI disks
// holding a volume group with a thin pool) against the tools themselves: capacities against
// blockdev, SMART verdicts against smartctl's JSON report (a disk without a verdict has no
// sample), group size and free bytes against vgs, thin pool use against lvs; the AHCI disk's
// transport is sata; --json validates against the schema of docs/.
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <velka/utilities>

#include "velka_test.h"

using velka::utilities::utilities;
using velka_test::sh;

namespace {

// "name{labels} value" lines into a map; only the families named by the prefixes.
std::map<std::string, double> samples(const std::string& stext) {
    std::map<std::string, double> m;
    std::istringstream in(stext);
    std::string sline;
    while (std::getline(in, sline)) {
        size_t ublank = sline.rfind(' ');
        if (sline.empty() || sline[0] == '#' || ublank == std::string::npos) continue;
        for (const char* sfamily : {"velka_disk_capacity_bytes{", "velka_smart_passed{",
                                    "velka_volume_group_", "velka_thin_pool_"})
            if (sline.compare(0, strlen(sfamily), sfamily) == 0)
                m[sline.substr(0, ublank)] = std::stod(sline.substr(ublank + 1));
    }
    return m;
}

// The same samples from blockdev, smartctl -j, vgs and lvs.
const char* const s_reference = R"SH(
for d in /sys/block/sd* /sys/block/nvme*n*; do
    n=/dev/${d##*/}
    echo "velka_disk_capacity_bytes{device=\"${d##*/}\"} $(blockdev --getsize64 $n)"
    smartctl -j -H $n | python3 -c 'import json, sys
s = json.load(sys.stdin).get("smart_status")
if s is not None: print("velka_smart_passed{device=\"%s\"} %d" % (sys.argv[1], s["passed"]))' ${d##*/}
done
vgs --noheadings --nosuffix --units b -o vg_name,vg_size,vg_free | while read v s f; do
    echo "velka_volume_group_size_bytes{vg=\"$v\"} $s"
    echo "velka_volume_group_free_bytes{vg=\"$v\"} $f"
done
lvs --noheadings -S segtype=thin-pool -o vg_name,lv_name,data_percent,metadata_percent |
while read v l d m; do
    echo "velka_thin_pool_data_used_ratio{vg=\"$v\",lv=\"$l\"} $d" | awk '{ $2 = $2 / 100; print }'
    echo "velka_thin_pool_metadata_used_ratio{vg=\"$v\",lv=\"$l\"} $m" | awk '{ $2 = $2 / 100; print }'
done
)SH";

}  // namespace

TEST(Lab_InventoryMetrics, AgainstBlockdevSmartctlVgsAndLvs) {
    VELKA_REQUIRE_TOOL("smartctl");
    VELKA_REQUIRE_TOOL("python3");
    const std::string sbinary = std::string(VELKA_BINARY_DIR) + "/tools/velka-inventory";
    ASSERT_TRUE(velka_test::have_tool(sbinary));
    std::string sdisks;
    ASSERT_EQ(sh("grep -l VELKAINVL /sys/block/sd*/device/vpd_pg80 | cut -d/ -f4 | sed "
                 "'s|^|/dev/|' | tr '\\n' ' '",
                 &sdisks),
              0);
    ASSERT_EQ(sh("pvcreate -q " + sdisks + " && vgcreate -q velkainv " + sdisks +
                 " && lvcreate -q --type thin-pool -L 64M -n pool velkainv && lvcreate -q -V 32M "
                 "-T velkainv/pool -n thin && dd if=/dev/urandom of=/dev/velkainv/thin bs=1M "
                 "count=8 oflag=direct status=none"),
              0);
    std::string sprom, sreference, ssata;
    EXPECT_EQ(sh(utilities::shellquote(sbinary) + " --prometheus -", &sprom), 0);
    // The lab's JSON (SATA, NVMe and SCSI disks, a group with a thin pool) against the schema.
    const std::string ssrc = VELKA_SOURCE_DIR;
    EXPECT_EQ(sh(utilities::shellquote(sbinary) + " --json | python3 " + ssrc +
                 "/tests/inventory_schema.py " + ssrc + "/docs/velka-inventory.schema.json"),
              0);
    EXPECT_EQ(sh(s_reference, &sreference), 0);
    sh("grep -l VELKAINVS1 /sys/block/sd*/device/vpd_pg80 | cut -d/ -f4", &ssata);
    sh("vgremove -q -f velkainv && pvremove -q " + sdisks);

    std::map<std::string, double> mmine = samples(sprom), mtheirs = samples(sreference);
    ASSERT_GE(mtheirs.size(), 11u) << sreference;  // 4 disks, 2 verdicts at least, the group
    for (const auto& s : mtheirs) {
        auto it = mmine.find(s.first);
        EXPECT_TRUE(it != mmine.end() && it->second == s.second)
            << s.first << " " << s.second << "\n"
            << sprom;
    }
    // A verdict for no disk that smartctl gives none for.
    for (const auto& s : mmine) {
        if (s.first.compare(0, 18, "velka_smart_passed") == 0) {
            EXPECT_EQ(mtheirs.count(s.first), 1u) << s.first;
        }
    }
    ASSERT_FALSE(ssata.empty());
    ssata.pop_back();
    EXPECT_NE(sprom.find("velka_disk_info{device=\"" + ssata + "\",transport=\"sata\""),
              std::string::npos)
        << sprom;
    EXPECT_NE(sprom.find("velka_smart_passed{device=\"nvme0n1\"} 1\n"), std::string::npos) << sprom;
}
