// Disk enumeration over fixture sysfs trees (tests/fixtures/blkdev) bound over /sys in the
// test binary's private mount namespace, with a tmpfs over /dev holding the fixture's block
// nodes, a tmpfs over /run for the udev database and a recording udevadm: which entries are
// rejected, which disks are examined but left out, transports, the fields read from sysfs, the
// udev entries of disks and partitions (one disk is backed by a partitioned loop device, read
// by the real parted and blkid), lookups, and constructions from several threads at once.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>

#include <algorithm>
#include <fstream>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <velka/blkdev>
#include <velka/udev>
#include <velka/utilities>

#include "logcapture.h"
#include "velka_test.h"

using velka::blkdev::blkdev;
using velka::blkdev::blkdevmgr;
using velka::utilities::utilities;
using velka_test::sh;

namespace {

struct listed {
    std::string sdev;
    std::string slegato;
    std::string ssg;
    std::string stransport;
    int imajor;
    int iminor;
};

void collect(blkdev& bdev, void* arg, void* device) {
    auto* pv = static_cast<std::vector<blkdev>*>(arg);
    pv->push_back(bdev);
    if (device != nullptr && bdev.get_dev() == *static_cast<std::string*>(device))
        bdev.set_sgdev("/dev/sg99");
}

std::vector<blkdev> records(blkdevmgr& mgr) {
    std::vector<blkdev> v;
    mgr.for_each_blkdev(collect, &v, nullptr);
    return v;
}

// The scene: the fixture's sysfs over /sys, its nodes in a tmpfs over /dev (sdc and its
// partitions backed by a loop device with a gpt table and two partitions), an empty udev
// database and a udevadm that records which node it was asked about.
class Root_Enumeration : public ::testing::Test {
protected:
    void SetUp() override {
        VELKA_REQUIRE_ROOT();
        VELKA_REQUIRE_TOOL("parted");
        setenv("BLKID_FILE", (m_cache / "blkid.tab").c_str(), 1);
        m_ploop.reset(new velka_test::loop_device(32, true));
        ASSERT_TRUE(m_ploop->ok());
        const std::string sloop = m_ploop->device();
        ASSERT_EQ(sh("parted -s " + sloop +
                     " mklabel gpt mkpart one 1MiB 9MiB mkpart two 9MiB "
                     "100% && udevadm settle 2>/dev/null; true"),
                  0);
        for (uint32_t i = 0; i <= 2; ++i) {
            std::string snode = i == 0 ? sloop : utilities::get_partition_name(sloop, i);
            for (int itry = 0; itry < 50 && !utilities::isblkdev(snode); ++itry) usleep(100000);
            int imaj = 0, imin = 0;
            ASSERT_TRUE(utilities::isblkdev(snode, imaj, imin)) << snode;
            m_lnodes.push_back({i == 0 ? "sdc" : "sdc" + utilities::uitostr(i), imaj, imin});
        }
        // The recording udevadm, at the path the udev writer runs.
        m_fakes.add_script(
            "udevadm", "echo \"DEVNAME=$4\"\necho \"SUBSYSTEM=block\"\necho \"VELKA_TEST=1\"\n");
        m_pudevadm.reset(new velka_test::bind_mount(m_fakes.script_path("udevadm"),
                                                    velka::udev::udev::udevadmpath()));
        ASSERT_TRUE(m_pudevadm->ok());
        m_prun.reset(new velka_test::tmpfs_mount("/run"));
        ASSERT_TRUE(m_prun->ok());
    }
    void TearDown() override {
        m_psys.reset();
        m_pdev.reset();
        m_prun.reset();
        m_pudevadm.reset();
        m_ploop.reset();
        unsetenv("BLKID_FILE");
    }
    // Binds the fixture tree and fills /dev with its nodes.
    void scene(const std::string& sname) {
        std::string sdir = velka_test::fixture("blkdev/" + sname);
        m_pdev.reset(new velka_test::tmpfs_mount("/dev"));
        ASSERT_TRUE(m_pdev->ok());
        ASSERT_EQ(mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)), 0);
        std::ifstream in(sdir + "/devnodes");
        std::string sline;
        while (std::getline(in, sline)) {
            std::istringstream fields(sline);
            node n;
            if (!(fields >> n.sname >> n.imajor >> n.iminor)) continue;
            if (n.sname == "sdc") continue;  // backed by the loop device below
            m_lnodes.push_back(n);
        }
        for (const auto& n : m_lnodes)
            ASSERT_EQ(
                mknod(("/dev/" + n.sname).c_str(), S_IFBLK | 0660, makedev(n.imajor, n.iminor)), 0)
                << n.sname;
        m_psys.reset(new velka_test::bind_mount(sdir + "/sys", "/sys"));
        ASSERT_TRUE(m_psys->ok());
    }
    // Nodes udevadm was asked about, in order.
    std::vector<std::string> udevadm_nodes() {
        std::vector<std::string> v;
        for (const auto& args : m_fakes.argvs())
            if (args.size() >= 4) v.push_back(args.back());
        return v;
    }

    struct node {
        std::string sname;
        int imajor;
        int iminor;
    };
    velka_test::tempdir m_cache;
    velka_test::fake_tools m_fakes;
    std::unique_ptr<velka_test::loop_device> m_ploop;
    std::unique_ptr<velka_test::bind_mount> m_pudevadm;
    std::unique_ptr<velka_test::tmpfs_mount> m_prun;
    std::unique_ptr<velka_test::tmpfs_mount> m_pdev;
    std::unique_ptr<velka_test::bind_mount> m_psys;
    std::vector<node> m_lnodes;
};

}  // namespace

TEST_F(Root_Enumeration, MixedTreeListsTheRightDisksWithTheirFields) {
    scene("mixed");
    velka_test::logcapture log;
    blkdevmgr mgr(log.src());
    auto v = records(mgr);
    std::vector<std::string> vdevs;
    for (const auto& b : v) vdevs.push_back(b.get_dev());
    EXPECT_EQ(vdevs,
              (std::vector<std::string>{"/dev/sda", "/dev/sdc", "/dev/nvme0n1", "/dev/nvme1n1"}));
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(mgr.size(), 4u);
    // The lambda and by-value forms list the same records in the same order.
    std::vector<std::string> vlambda, vvalue;
    mgr.for_each_blkdev([&vlambda](blkdev& b) { vlambda.push_back(b.get_dev()); });
    for (const auto& b : mgr.get_blkdevs()) vvalue.push_back(b.get_dev());
    EXPECT_EQ(vlambda, vdevs);
    EXPECT_EQ(vvalue, vdevs);

    struct expected {
        const char* slegato;
        const char* ssg;
        const char* svendor;
        const char* smodel;
        velka::blkdev::scsitransport_t etransport;
        int imajor, iminor;
        unsigned long long ullblocks;
        unsigned int uiblksize;
        const char* ssched;
        unsigned int uilevel;
        int irotation;
        bool bflash, bremovable;
        const char* slabel;
    };
    const expected want[] = {
        // No generic node, so no READ CAPACITY: the capacity comes from sysfs, in sda's
        // logical blocks of 4096 bytes and sdc's (no logical_block_size) of 512.
        {"0:0:0:0", "/dev/sg0", "QEMU    ", "QEMU HARDDISK   ", velka::blkdev::e_scsi, 8, 0, 262144,
         4096, "mq-deadline", 8, -1, false, false, ""},
        {"2:0:1:0", "/dev/sg2", "SEAGATE ", "ST4000NM0023    ", velka::blkdev::e_sas, 8, 32,
         7814037168ULL, 512, "mq-deadline", 7, -1, false, false, "gpt"},
        {"", "", "", "", velka::blkdev::e_nvme, 259, 200, 1048576, 512, "", 0, 1, true, false, ""},
        {"", "", "", "", velka::blkdev::e_nvme, 0, 0, 2048, 512, "", 0, 1, true, false, ""},
    };
    for (size_t i = 0; i < v.size(); ++i) {
        const auto& b = v[i];
        const auto& w = want[i];
        SCOPED_TRACE(b.get_dev());
        EXPECT_EQ(b.get_legatopath(), w.slegato);
        EXPECT_EQ(b.get_sgdev(), w.ssg);
        EXPECT_EQ(b.get_vendor(), w.svendor);
        EXPECT_EQ(b.get_model(), w.smodel);
        EXPECT_EQ(b.get_transport(), w.etransport);
        EXPECT_EQ(b.get_major(), w.imajor);
        EXPECT_EQ(b.get_minor(), w.iminor);
        EXPECT_EQ(b.get_blocks(), w.ullblocks);
        EXPECT_EQ(b.get_blksize(), w.uiblksize);
        EXPECT_EQ(b.get_scheduler(), w.ssched);
        EXPECT_EQ(b.get_scsiversion(), w.uilevel);
        EXPECT_EQ(b.get_rotationspeed(), w.irotation);
        EXPECT_EQ(b.get_isflashdisk(), w.bflash);
        EXPECT_EQ(b.get_removable(), w.bremovable);
        EXPECT_EQ(b.get_label(), w.slabel);
    }

    // Examined disks get their entries, listed or not; sdc's partitions too. Rejected
    // entries and the NVMe device without a node get none.
    // The disks are examined several at a time: the order of the calls is any.
    auto vnodes = udevadm_nodes();
    std::sort(vnodes.begin(), vnodes.end());
    std::vector<std::string> vwant = {"/dev/nvme0n1", "/dev/sda", "/dev/sdc", "/dev/sdc1",
                                      "/dev/sdc2",    "/dev/sdd", "/dev/sde"};
    EXPECT_EQ(vnodes, vwant);
    std::list<std::string> lentries;
    EXPECT_EQ(utilities::readdir("/run/udev/data", lentries), 0);
    EXPECT_EQ(lentries.size(), vwant.size());
    EXPECT_EQ(velka_test::slurp("/run/udev/data/b8:48"),
              "E:DEVNAME=/dev/sdd\nE:SUBSYSTEM=block\nE:VELKA_TEST=1\n");

    // Host classes: a host in both is Fibre Channel.
    EXPECT_TRUE(log.has("blkdev::blkdevmgr::enumeratescsihosts( )  2 : sas"));
    EXPECT_TRUE(log.has("blkdev::blkdevmgr::enumeratescsihosts( )  4 : sas"));
    EXPECT_TRUE(log.has("blkdev::blkdevmgr::enumeratescsihosts( )  3 : fc"));
    EXPECT_TRUE(log.has("blkdev::blkdevmgr::enumeratescsihosts( )  4 : fc"));
    EXPECT_TRUE(
        log.has("blkdev::select( )  Will check whether the provided device is a block "
                "device: ."));
    EXPECT_TRUE(log.has("blkdev::blkdevmgr::parseblkdevinfo( )  Found a block device /dev/sdc"));
    EXPECT_EQ(log.count_containing("Found a block device"), 2u);
    EXPECT_TRUE(
        log.has("blkdevparams::blkdevmgr::extractblkdevcapacity( )  Capacity of /dev/sda "
                "taken from /sys/block/sda/size: 262144 blocks of 4096 bytes"));
    EXPECT_TRUE(
        log.has("blkdev::selectnvme( )  Will check whether the provided path is a "
                "directory: /sys/block/nvme2"));
    EXPECT_FALSE(log.has("blkdev::selectnvme( )  Provided device is a nvme flash device: nvme2"));
    EXPECT_TRUE(
        log.has("blkdev::blkdevmgr::parsenvmeflashdevinfo( )  Found a nvme flash device "
                "nvme1n1"));
    EXPECT_EQ(log.count_containing("Will check whether the provided device is a nvme flash device: "
                                   "loop0"),
              1u);
}

TEST_F(Root_Enumeration, LookupsCompareWholeKeys) {
    scene("mixed");
    blkdevmgr mgr(nullptr);
    blkdev b("/dev/untouched", nullptr);
    EXPECT_EQ(mgr.get_blkdev_info("/dev/sd", velka::blkdev::e_devfs_path, b), -1);
    EXPECT_EQ(b.get_dev(), "/dev/untouched");
    EXPECT_EQ(mgr.get_blkdev_info("/dev/sdd", velka::blkdev::e_devfs_path, b), -1);  // FC
    EXPECT_EQ(mgr.get_blkdev_info("/dev/sdf", velka::blkdev::e_devfs_path, b), -1);  // no node
    EXPECT_EQ(mgr.get_blkdev_info("/dev/sg2", velka::blkdev::e_devfs_path, b), -1);
    EXPECT_EQ(b.get_dev(), "/dev/untouched");

    EXPECT_EQ(mgr.get_blkdev_info("/dev/sdc", velka::blkdev::e_devfs_path, b), 0);
    EXPECT_EQ(b.get_legatopath(), "2:0:1:0");
    EXPECT_EQ(mgr.get_blkdev_info("/dev/sg0", velka::blkdev::e_sg_path, b), 0);
    EXPECT_EQ(b.get_dev(), "/dev/sda");
    // The first record without a generic node.
    EXPECT_EQ(mgr.get_blkdev_info("", velka::blkdev::e_sg_path, b), 0);
    EXPECT_EQ(b.get_dev(), "/dev/nvme0n1");
    // Any other factor compares "".
    EXPECT_EQ(mgr.get_blkdev_info("", static_cast<velka::blkdev::match_factor_t>(7), b), 0);
    EXPECT_EQ(b.get_dev(), "/dev/sda");
    EXPECT_EQ(mgr.get_blkdev_info("/dev/sda", static_cast<velka::blkdev::match_factor_t>(7), b),
              -1);

    // A callback that changes a stored record: lookups see the change.
    std::vector<blkdev> v;
    std::string swho = "/dev/sda";
    mgr.for_each_blkdev(collect, &v, &swho);
    EXPECT_EQ(v.size(), 4u);
    EXPECT_EQ(mgr.get_blkdev_info("/dev/sg0", velka::blkdev::e_sg_path, b), -1);
    EXPECT_EQ(mgr.get_blkdev_info("/dev/sg99", velka::blkdev::e_sg_path, b), 0);
    EXPECT_EQ(b.get_dev(), "/dev/sda");

    EXPECT_EQ(blkdevmgr::decodetransporttype(velka::blkdev::e_scsi), "scsi");
    EXPECT_EQ(blkdevmgr::decodetransporttype(velka::blkdev::e_sas), "sas");
    EXPECT_EQ(blkdevmgr::decodetransporttype(velka::blkdev::e_fc), "fc");
    EXPECT_EQ(blkdevmgr::decodetransporttype(velka::blkdev::e_iscsi), "iscsi");
    EXPECT_EQ(blkdevmgr::decodetransporttype(velka::blkdev::e_nvme), "unknown");
    EXPECT_EQ(blkdevmgr::decodetransporttype(velka::blkdev::e_unknown), "unknown");
}

TEST_F(Root_Enumeration, ConstructionsInSeveralThreadsLogThroughTheirOwnHandles) {
    scene("mixed");
    // One construction alone: how many filter lines one scan logs.
    size_t uione = 0;
    {
        velka_test::logcapture log;
        blkdevmgr mgr(log.src());
        uione = log.count_containing("Will check whether the provided device is a");
        ASSERT_GT(uione, 10u);
    }
    const int ithreads = 3;
    std::vector<std::unique_ptr<velka_test::logcapture>> vlogs;
    for (int i = 0; i < ithreads; ++i) vlogs.emplace_back(new velka_test::logcapture);
    std::vector<size_t> vsizes(ithreads);
    std::vector<std::thread> vthreads;
    for (int i = 0; i < ithreads; ++i) {
        vthreads.emplace_back([&, i] {
            blkdevmgr mgr(vlogs[i]->src());
            vsizes[i] = mgr.size();
        });
    }
    for (auto& t : vthreads) t.join();
    for (int i = 0; i < ithreads; ++i) {
        EXPECT_EQ(vsizes[i], 4u);
        EXPECT_EQ(vlogs[i]->count_containing("Will check whether the provided device is a"), uione);
    }
}

TEST_F(Root_Enumeration, AMissingTreeGivesAnEmptyManager) {
    velka_test::tempdir empty;
    m_psys.reset(new velka_test::bind_mount(empty.path(), "/sys"));
    ASSERT_TRUE(m_psys->ok());
    velka_test::logcapture log;
    blkdevmgr mgr(log.src());
    EXPECT_EQ(mgr.size(), 0u);
    blkdev b;
    EXPECT_EQ(mgr.get_blkdev_info("", velka::blkdev::e_sg_path, b), -1);
    EXPECT_EQ(mgr.get_blkdev_info("", static_cast<velka::blkdev::match_factor_t>(0), b), -1);
}
