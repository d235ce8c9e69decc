// The inventory's sections (tools/): collected concurrently they find what they find one after
// another (the threads tier runs this under ThreadSanitizer), and numbers of a report that are
// not finite become null in the JSON and are left out of the metrics. The LVM tools and ethtool are
// fakes replaying reports of the lab's group; the rest is this machine's.
#include <string>

#include <gtest/gtest.h>

#include "inventory.h"
#include "velka_test.h"

namespace {

// The Prometheus text without the time of the run.
std::string withouttime(const std::string& s) {
    size_t upos = s.find("\nvelka_inventory_last_run_timestamp_seconds ");
    return upos == std::string::npos ? s : s.substr(0, upos) + s.substr(s.find('\n', upos + 1));
}

void fakelvm(velka_test::fake_tools& fakes, const char* slvs) {
    fakes.add_fixture("vgs", "inventory/vgs.out");
    fakes.add_fixture("lvs", slvs);
    fakes.add_fixture("pvs", "inventory/pvs.out");
    fakes.add("ethtool", "Settings for x:\n\tSpeed: 10000Mb/s\n");
}

}  // namespace

TEST(Unit_Inventory, ConcurrentSectionsFindWhatSectionedOnesFind) {
    velka_test::fake_tools fakes;
    fakelvm(fakes, "inventory/lvs.out");
    for (int i = 0; i < 3; ++i) {
        inventoryfacts sectioned = inventory_collect(nullptr, false);
        inventoryfacts concurrent = inventory_collect(nullptr, true);
        std::string sprom = withouttime(inventory_prometheus(concurrent));
        EXPECT_EQ(withouttime(inventory_prometheus(sectioned)), sprom);
        EXPECT_EQ(concurrent.disks.sjson + concurrent.disks.sotherjson + lvm_json(concurrent.lvm) +
                      lvm_pvjson(concurrent.lvm) + boot_json(concurrent.boot),
                  sectioned.disks.sjson + sectioned.disks.sotherjson + lvm_json(sectioned.lvm) +
                      lvm_pvjson(sectioned.lvm) + boot_json(sectioned.boot));
        ASSERT_FALSE(concurrent.platform.linterfaces.empty());
        for (const auto& intf : concurrent.platform.linterfaces)
            EXPECT_TRUE(intf.bspeed && intf.ulspeed == 10000) << intf.sname;
        for (const char* ssample :
             {"velka_volume_group_size_bytes{vg=\"data\"} 1065353216\n",
              "velka_volume_group_free_bytes{vg=\"data\"} 595591168\n",
              "velka_thin_pool_data_used_ratio{vg=\"data\",lv=\"pool\"} 0.0312\n",
              "velka_thin_pool_metadata_used_ratio{vg=\"data\",lv=\"pool\"} 0.1094\n",
              "velka_physical_volume_free_bytes{device=\"sdc\",vg=\"data\"} 528482304\n",
              "velka_inventory_section_success{section=\"lvm\"} 1\n"})
            EXPECT_NE(sprom.find(ssample), std::string::npos) << ssample << sprom;
    }
}

TEST(Unit_Inventory, NumbersThatAreNotFiniteAreNullInJsonAndLeftOutOfTheMetrics) {
    velka_test::fake_tools fakes;
    fakelvm(fakes, "inventory/lvs-nonfinite.out");
    inventoryfacts inv = inventory_collect(nullptr, true);
    std::string sjson = lvm_json(inv.lvm), sprom = inventory_prometheus(inv);
    EXPECT_NE(sjson.find("\"size_mib\": null, \"data_percent\": null, \"metadata_percent\": null}"),
              std::string::npos)
        << sjson;
    for (const char* s : {"nan", "NaN", "inf"}) EXPECT_EQ(sjson.find(s), std::string::npos) << s;
    EXPECT_EQ(sprom.find("velka_thin_pool"), std::string::npos) << sprom;
    // The whole JSON, nulls and volumes included, as the schema of docs/ describes it.
    velka_test::tempdir dir;
    velka_test::spew(dir / "inventory.json", inventory_json(inv));
    std::string sout, ssrc = VELKA_SOURCE_DIR;
    EXPECT_EQ(velka_test::sh("python3 " + ssrc + "/tests/inventory_schema.py " + ssrc +
                                 "/docs/velka-inventory.schema.json < " + (dir / "inventory.json") +
                                 " 2>&1",
                             &sout),
              0)
        << sout;
}
