// lab-args: --no-udev
// lab-args: --disk scsi-hd:size=256M,serial=VELKAVIRT1,rotation_rate=7200
// lab-args: --disk sas:wwn=0x5000c50015ea71ac,size=256M,serial=VELKASAS01
// lab-args: --disk sata:size=256M,serial=VELKASATA1
// lab-args: --disk scsi_debug:dev_size_mb=64
// lab-args: --disk nvme:size=256M,serial=VELKANVME1
//
// The disk list and partitioning on the lab's real kernel, with virtio-SCSI, SAS, SATA,
// scsi_debug and NVMe disks, against the independent tools: the set and order of the disks
// against `lsscsi -t -g` and `lsblk -d -P -O -b` (lsblk's pairs form of `-J -O`), their
// fields against lsblk, lookups by device and generic node; partition tables written by the
// library read back by `parted -s -m DEVICE unit B print`, the first sector read back after
// a wipe, and the udev entries against `udevadm info --query=property`. The machine runs
// without a udev daemon, so every entry in /run/udev/data is the library's.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/blkdev>
#include <velka/udev>
#include <velka/utilities>

#include "partedlisting.h"
#include "velka_test.h"

using velka::blkdev::blkdev;
using velka::blkdev::blkdevmgr;
using velka::blkdev::partitioninfo;
using velka::utilities::utilities;
using velka_test::sh;

namespace {

std::string output(const std::string& scmd) {
    std::string sout;
    sh(scmd, &sout);
    return sout;
}

std::vector<std::string> lines(const std::string& stext) {
    std::vector<std::string> v;
    std::istringstream in(stext);
    std::string s;
    while (std::getline(in, s)) v.push_back(s);
    return v;
}

void collect(blkdev& bdev, void* arg, void*) {
    static_cast<std::vector<blkdev>*>(arg)->push_back(bdev);
}

std::vector<blkdev> records(blkdevmgr& mgr) {
    std::vector<blkdev> v;
    mgr.for_each_blkdev(collect, &v, nullptr);
    return v;
}

// One line of `lsblk -P`: KEY="value" pairs.
std::map<std::string, std::string> pairs(const std::string& sline) {
    std::map<std::string, std::string> m;
    std::string::size_type i = 0;
    while (i < sline.size()) {
        std::string::size_type ieq = sline.find("=\"", i);
        if (ieq == std::string::npos) break;
        // Column names as lsblk -O spells them, ":" and "-" written "_" (MAJ:MIN, LOG-SEC).
        std::string skey = utilities::trim(sline.substr(i, ieq - i));
        for (auto& c : skey)
            if (c == ':' || c == '-') c = '_';
        std::string::size_type iend = sline.find('"', ieq + 2);
        if (iend == std::string::npos) break;
        m[skey] = sline.substr(ieq + 2, iend - ieq - 2);
        i = iend + 1;
    }
    return m;
}

// The disk whose serial (lsblk's SERIAL, or the VPD page 0x80 for SCSI disks) holds sserial.
std::string diskbyserial(const std::string& sserial) {
    for (const auto& sline : lines(output("lsblk -d -P -o NAME,SERIAL"))) {
        auto m = pairs(sline);
        std::string sname = m["NAME"];
        if (m["SERIAL"].find(sserial) != std::string::npos ||
            velka_test::slurp("/sys/block/" + sname + "/device/vpd_pg80").find(sserial) !=
                std::string::npos ||
            velka_test::slurp("/sys/block/" + sname + "/device/serial").find(sserial) !=
                std::string::npos)
            return "/dev/" + sname;
    }
    return "";
}

std::string entry_of(const std::string& snode) {
    struct stat st;
    if (::stat(snode.c_str(), &st) != 0) return "<no node " + snode + ">";
    return velka_test::slurp("/run/udev/data/b" + utilities::itostr(major(st.st_rdev)) + ":" +
                             utilities::itostr(minor(st.st_rdev)));
}

std::string udevadm_of(const std::string& snode) {
    std::string sentry;
    for (const auto& s : lines(
             output(velka::udev::udev::udevadmpath() + " info --query=property --name " + snode))) {
        std::string st = utilities::trim(s);
        if (!st.empty()) sentry += "E:" + st + "\n";
    }
    return sentry;
}

// Every node: an entry exists and holds what udevadm says about the node.
void expect_entries(const std::vector<std::string>& vnodes) {
    for (const auto& snode : vnodes) {
        std::string sentry = entry_of(snode);
        EXPECT_NE(sentry, "") << snode;
        EXPECT_EQ(sentry, udevadm_of(snode)) << snode;
        EXPECT_NE(sentry.find("DEVNAME=" + snode + "\n"), std::string::npos) << sentry;
    }
}

class Lab_Blkdev : public ::testing::Test {
protected:
    void SetUp() override {
        if (getenv("VELKA_LAB") == nullptr) GTEST_SKIP() << "runs in the VM lab only";
        VELKA_REQUIRE_TOOL("parted");
    }
};

}  // namespace

TEST_F(Lab_Blkdev, TheListMatchesLsscsiAndLsblk) {
    VELKA_REQUIRE_TOOL("lsscsi");
    VELKA_REQUIRE_TOOL("lsblk");
    blkdevmgr mgr(nullptr);
    auto v = records(mgr);

    // lsscsi: SCSI disks by address, then NVMe namespaces, with their nodes.
    std::vector<std::string> vlsscsi, vours;
    std::map<std::string, std::string> mtransport;
    for (const auto& sline : lines(output("lsscsi -t -g"))) {
        std::istringstream in(sline);
        std::string saddr, stype;
        in >> saddr >> stype;
        if (stype != "disk") continue;
        std::vector<std::string> vwords;
        for (std::string sw; in >> sw;) vwords.push_back(sw);
        ASSERT_GE(vwords.size(), 2u) << sline;
        std::string sdev = vwords[vwords.size() - 2], ssg = vwords.back();
        std::string sxport = vwords.size() > 2 ? vwords[0] : "";
        mtransport[sdev] = sxport.substr(0, sxport.find(':'));
        if (saddr.compare(0, 3, "[N:") == 0) {
            vlsscsi.push_back(sdev + " nvme");
        } else {
            vlsscsi.push_back(sdev + " " + saddr.substr(1, saddr.size() - 2) + " " + ssg);
        }
    }
    for (const auto& b : v) {
        if (b.get_transport() == velka::blkdev::e_nvme)
            vours.push_back(b.get_dev() + " nvme");
        else
            vours.push_back(b.get_dev() + " " + b.get_legatopath() + " " + b.get_sgdev());
    }
    EXPECT_EQ(vours, vlsscsi);
    ASSERT_EQ(v.size(), 5u);

    // Transports: the SAS disk's host is in the SAS class; virtio, SATA and scsi_debug hosts
    // are in neither.
    for (const auto& b : v) {
        SCOPED_TRACE(b.get_dev());
        const std::string& st = mtransport[b.get_dev()];
        if (st == "sas")
            EXPECT_EQ(blkdevmgr::decodetransporttype(b.get_transport()), "sas");
        else if (st == "pcie")
            EXPECT_EQ(b.get_transport(), velka::blkdev::e_nvme);
        else
            EXPECT_EQ(blkdevmgr::decodetransporttype(b.get_transport()), "scsi");
    }
    EXPECT_EQ(diskbyserial("VELKASAS01").empty(), false);
    blkdev bsas;
    ASSERT_EQ(mgr.get_blkdev_info(diskbyserial("VELKASAS01"), velka::blkdev::e_devfs_path, bsas),
              0);
    EXPECT_EQ(bsas.get_transport(), velka::blkdev::e_sas);
    blkdev bvirt;
    ASSERT_EQ(mgr.get_blkdev_info(diskbyserial("VELKAVIRT1"), velka::blkdev::e_devfs_path, bvirt),
              0);
    EXPECT_EQ(bvirt.get_transport(), velka::blkdev::e_scsi);
    EXPECT_EQ(bvirt.get_rotationspeed(), 7200);

    // lsblk: every disk (loop devices aside), with its size, numbers, scheduler, identity.
    std::set<std::string> slsblk, sours;
    std::map<std::string, std::map<std::string, std::string>> mlsblk;
    for (const auto& sline : lines(output("lsblk -d -P -O -b"))) {
        auto m = pairs(sline);
        if (m["TYPE"] != "disk") continue;
        slsblk.insert(m["PATH"]);
        mlsblk[m["PATH"]] = m;
    }
    for (const auto& b : v) sours.insert(b.get_dev());
    EXPECT_EQ(sours, slsblk);
    for (const auto& b : v) {
        SCOPED_TRACE(b.get_dev());
        auto& m = mlsblk[b.get_dev()];
        EXPECT_EQ(utilities::ultostr(b.get_blocks() * b.get_blksize()), m["SIZE"]);
        EXPECT_EQ(utilities::itostr(b.get_major()) + ":" + utilities::itostr(b.get_minor()),
                  m["MAJ_MIN"]);
        EXPECT_EQ(b.get_removable() ? "1" : "0", m["RM"]);
        if (b.get_transport() == velka::blkdev::e_nvme) {
            EXPECT_TRUE(b.get_isflashdisk());
            EXPECT_EQ(b.get_legatopath(), "");
            EXPECT_EQ(b.get_sgdev(), "");
            continue;
        }
        EXPECT_EQ(b.get_scheduler(), m["SCHED"]);
        EXPECT_EQ(b.get_vendor(), m["VENDOR"]);
        EXPECT_EQ(b.get_model(), m["MODEL"]);
        EXPECT_EQ(b.get_legatopath(), m["HCTL"]);
        EXPECT_EQ(b.get_devicetype(), 0u);
        EXPECT_EQ(b.get_blksize(), utilities::strtoul(m["LOG_SEC"]));
        if (b.get_rotationspeed() == 1) {
            EXPECT_EQ(m["ROTA"], "0");
        } else if (b.get_rotationspeed() > 1) {
            EXPECT_EQ(m["ROTA"], "1");
        }
    }

    // Lookups by device and by generic node give back the same record; the key must match
    // as a whole.
    for (const auto& b : v) {
        blkdev found;
        ASSERT_EQ(mgr.get_blkdev_info(b.get_dev(), velka::blkdev::e_devfs_path, found), 0);
        EXPECT_EQ(found.get_legatopath(), b.get_legatopath());
        if (b.get_sgdev().empty()) continue;
        ASSERT_EQ(mgr.get_blkdev_info(b.get_sgdev(), velka::blkdev::e_sg_path, found), 0);
        EXPECT_EQ(found.get_dev(), b.get_dev());
    }
    blkdev none;
    EXPECT_EQ(mgr.get_blkdev_info("/dev/sd", velka::blkdev::e_devfs_path, none), -1);
    EXPECT_EQ(mgr.get_blkdev_info("/dev/sg", velka::blkdev::e_sg_path, none), -1);

    // Every listed disk has its udev entry, as udevadm describes it.
    std::vector<std::string> vnodes;
    for (const auto& b : v) vnodes.push_back(b.get_dev());
    expect_entries(vnodes);
}

TEST_F(Lab_Blkdev, WipeGptAndFlagsOnTheSasDisk) {
    std::string sdisk = diskbyserial("VELKASAS01");
    ASSERT_FALSE(sdisk.empty());
    // A pattern over the first 4 KiB, then the wipe: exactly bytes 0 to 511 are zero.
    ASSERT_EQ(sh("printf '\\252%.0s' $(seq 4096) | dd of=" + sdisk +
                 " bs=4096 count=1 oflag=direct 2>/dev/null"),
              0);
    blkdev rec(sdisk, nullptr);
    ASSERT_EQ(rec.clearpartitiontable(), 0);
    std::string sback =
        output("dd if=" + sdisk + " bs=4096 count=1 iflag=direct 2>/dev/null | od -An -v -tu1");
    std::istringstream in(sback);
    std::vector<int> vbytes;
    for (int i; in >> i;) vbytes.push_back(i);
    ASSERT_EQ(vbytes.size(), 4096u);
    for (size_t i = 0; i < vbytes.size(); ++i) ASSERT_EQ(vbytes[i], i < 512 ? 0 : 0252) << i;

    ASSERT_EQ(rec.setlabel("gpt"), 0);
    ASSERT_EQ(rec.createpartition("1MiB", "33MiB", "EFI System Partition"), 0);
    ASSERT_EQ(rec.createpartition("33MiB", "34MiB", "grub"), 0);
    ASSERT_EQ(rec.createpartition("34MiB", "66MiB", "boot"), 0);
    ASSERT_EQ(rec.createpartition("66MiB", "100%", "data"), 0);
    EXPECT_EQ(rec.setpartitionflag(1, "esp"), 0);
    EXPECT_EQ(rec.setpartitionflag(2, "bios_grub"), 0);
    EXPECT_EQ(rec.setpartitionflag(3, "boot"), 0);
    EXPECT_EQ(rec.setpartitionflag(4, "lvm"), 0);
    ASSERT_EQ(sh("mkfs.ext4 -q " + utilities::get_partition_name(sdisk, 4)), 0);
    std::vector<partitioninfo> vparts;
    ASSERT_EQ(rec.extractpartitioninfo(vparts), 0);
    auto vbytesref = velka_test::partedbytes(sdisk);
    ASSERT_EQ(vbytesref.size(), 4u);
    velka_test::expect_same_listing(vparts, vbytesref);
    EXPECT_EQ(vparts[0].m_name, "EFI System Partition");
    EXPECT_EQ(vparts[3].m_fstype, "ext4");

    std::vector<std::string> vnodes = {sdisk};
    for (uint32_t i = 1; i <= 4; ++i) vnodes.push_back(utilities::get_partition_name(sdisk, i));
    expect_entries(vnodes);

    // A manager built now reads the table type through blkid.
    blkdevmgr mgr(nullptr);
    blkdev found;
    ASSERT_EQ(mgr.get_blkdev_info(sdisk, velka::blkdev::e_devfs_path, found), 0);
    EXPECT_EQ(found.get_label(), "gpt");
}

TEST_F(Lab_Blkdev, MsdosWithBootAndLvmOnTheVirtioDisk) {
    std::string sdisk = diskbyserial("VELKAVIRT1");
    ASSERT_FALSE(sdisk.empty());
    blkdev rec(sdisk, nullptr);
    ASSERT_EQ(rec.setlabel("msdos"), 0);
    ASSERT_EQ(rec.createpartition("1MiB", "100MiB", "primary"), 0);
    ASSERT_EQ(rec.createpartition("100MiB", "100%", "primary"), 0);
    EXPECT_EQ(rec.setpartitionflag(1, "boot"), 0);
    EXPECT_EQ(rec.setpartitionflag(2, "lvm"), 0);
    std::vector<partitioninfo> vparts;
    ASSERT_EQ(rec.extractpartitioninfo(vparts), 0);
    velka_test::expect_same_listing(vparts, velka_test::partedbytes(sdisk));
    ASSERT_EQ(vparts.size(), 2u);
    EXPECT_EQ(vparts[0].m_flags, "boot");
    EXPECT_EQ(vparts[1].m_flags, "lvm");
    expect_entries({sdisk, sdisk + "1", sdisk + "2"});
}

TEST_F(Lab_Blkdev, NvmeDiskWithTwoPartitionsGetsThreeEntries) {
    std::string sdisk = diskbyserial("VELKANVME1");
    ASSERT_FALSE(sdisk.empty());
    blkdev rec(sdisk, nullptr);
    ASSERT_EQ(rec.setlabel("gpt"), 0);
    ASSERT_EQ(rec.createpartition("1MiB", "128MiB", "one"), 0);
    ASSERT_EQ(rec.createpartition("128MiB", "100%", "two"), 0);
    std::vector<partitioninfo> vparts;
    ASSERT_EQ(rec.extractpartitioninfo(vparts), 0);
    velka_test::expect_same_listing(vparts, velka_test::partedbytes(sdisk));
    // The entries come from the enumeration of a fresh database.
    ASSERT_EQ(sh("rm -f /run/udev/data/b*"), 0);
    blkdevmgr mgr(nullptr);
    blkdev found;
    ASSERT_EQ(mgr.get_blkdev_info(sdisk, velka::blkdev::e_devfs_path, found), 0);
    EXPECT_EQ(found.get_blocks() * found.get_blksize(), 256ull * 1024 * 1024);
    EXPECT_EQ(sdisk + "p1", utilities::get_partition_name(sdisk, 1));
    expect_entries({sdisk, sdisk + "p1", sdisk + "p2"});
}

TEST_F(Lab_Blkdev, InventoryShowsEveryDiskWithPartitionsAndNvmeIdentity) {
    std::string sinv = std::string(VELKA_BINARY_DIR) + "/tools/velka-inventory";
    if (access(sinv.c_str(), X_OK) != 0) GTEST_SKIP() << "velka-inventory is not built";
    VELKA_REQUIRE_TOOL("python3");
    std::string snvme = diskbyserial("VELKANVME1");
    std::string ssas = diskbyserial("VELKASAS01");
    ASSERT_FALSE(snvme.empty());
    ASSERT_FALSE(ssas.empty());
    // Run after the partitioning tests: the SAS disk holds four partitions, the NVMe disk
    // two. The entries the inventory's manager writes vanish with it.
    ASSERT_EQ(sh("rm -f /run/udev/data/b*"), 0);
    std::string scheck =
        "import json,sys; d=json.load(sys.stdin)['disks']; m={x['device']: x for x in d}; "
        "n=m['" +
        snvme + "']; s=m['" + ssas +
        "']; "
        "assert len(d) == 5, len(d); "
        "assert n['transport'] == 'nvme' and n['model'] == 'QEMU NVMe Ctrl', n; "
        "assert n['serial'] == 'VELKANVME1' and n['revision'] != '', n; "
        "assert [p['name'] for p in n['partitions']] == ['one', 'two'], n; "
        "assert s['transport'] == 'sas', s; "
        "assert [p['number'] for p in s['partitions']] == [1, 2, 3, 4], s; "
        "assert s['partitions'][0]['name'] == 'EFI System Partition', s; "
        "assert 'esp' in s['partitions'][0]['flags'], s; "
        "assert s['partitions'][3]['filesystem'] == 'ext4', s";
    std::string sout;
    EXPECT_EQ(sh(sinv + " --json | python3 -c " + utilities::shellquote(scheck) + " 2>&1", &sout),
              0)
        << sout;
    std::list<std::string> lentries;
    utilities::readdir("/run/udev/data", lentries);
    EXPECT_TRUE(lentries.empty());
    std::string stable = output(sinv);
    EXPECT_NE(stable.find("Firmware"), std::string::npos) << stable;
    EXPECT_NE(stable.find("EFI System Partition"), std::string::npos) << stable;
}
