// Block device records and the extractors that read sysfs or run blkid, in the test binary's
// private mount namespace: /run is a fresh tmpfs (each record makes sure /run/udev/data
// exists) and /sys a tmpfs holding the sysfs attributes captured from five kinds of lab disk,
// compared with what sg_inq, lsscsi, sg_readcap and udevadm reported for the same disks; then
// attribute files that are empty, huge, missing or garbage; SCSI extractors without a usable
// generic node; the label from the real blkid on a loop device and through hostile paths.
#include <sys/stat.h>
#include <unistd.h>

#include <list>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <velka/blkdev>
#include <velka/utilities>

#include "logcapture.h"
#include "velka_test.h"

using velka::blkdev::blkdev;
using velka::blkdev::blkdevparams;
using velka::utilities::utilities;
using velka_test::logcapture;
using velka_test::msg;

namespace {

const char* const s_disks[] = {"scsi-VELKAVIRT01", "scsi-VELKAFLASH01", "sas-VELKASAS01",
                               "sata-VELKASATA01", "scsi_debug-18000"};

std::string after(const std::string& stext, const std::string& skey) {
    size_t p = stext.find(skey);
    if (p == std::string::npos) return "<" + skey + " missing>";
    p += skey.size();
    return stext.substr(p, stext.find('\n', p) - p);
}

class BlkdevRoot : public ::testing::Test {
protected:
    void SetUp() override {
        VELKA_REQUIRE_ROOT();
        m_prun.reset(new velka_test::tmpfs_mount("/run"));
        ASSERT_TRUE(m_prun->ok());
    }
    // /sys as a tmpfs with /sys/block and /sys/bus/scsi/devices filled from the captures.
    void fakesysfs() {
        m_psys.reset(new velka_test::tmpfs_mount("/sys"));
        ASSERT_TRUE(m_psys->ok());
        ASSERT_EQ(velka_test::sh("mkdir -p /sys/block /sys/bus/scsi/devices"), 0);
        for (const char* sdisk : s_disks) {
            std::string d = utilities::shellquote(velka_test::fixture("disks/") + sdisk);
            ASSERT_EQ(velka_test::sh("cp -r " + d + "/block/. /sys/block/ && cp -r " + d +
                                     "/scsi/. /sys/bus/scsi/devices/"),
                      0);
        }
    }
    std::unique_ptr<velka_test::tmpfs_mount> m_prun;
    std::unique_ptr<velka_test::tmpfs_mount> m_psys;
};

}  // namespace

TEST_F(BlkdevRoot, RecordStartsDefinedAndCopiesWhole) {
    blkdev empty;
    EXPECT_EQ(empty.get_dev(), "");
    EXPECT_EQ(empty.devnotostr(), "0 : 0");
    EXPECT_TRUE(utilities::isdir("/run/udev/data"));
    logcapture log;
    blkdev r("/dev/sdb", log.src());
    EXPECT_EQ(r.get_blocks(), 0u);
    EXPECT_EQ(r.get_blksize(), 0u);
    EXPECT_EQ(r.get_rotationspeed(), 0);
    EXPECT_EQ(r.get_scsiversion(), 0u);
    EXPECT_EQ(r.get_devicetype(), 0u);
    EXPECT_FALSE(r.get_trimsupport() || r.get_removable() || r.get_unmap() || r.get_samewrite() ||
                 r.get_isflashdisk());
    r.set_major(8);
    r.set_minor(16);
    EXPECT_EQ(r.devnotostr(), "8 : 16");
    r.set_major(259);
    r.set_minor(0);
    EXPECT_EQ(r.devnotostr(), "259 : 0");
    r.set_legatopath("2:0:1:0");
    r.set_sgdev("/dev/sg3");
    r.set_vendor("QEMU    ");
    r.set_model("QEMU HARDDISK   ");
    r.set_serial("S N ");
    r.set_transport(velka::blkdev::e_sas);
    r.set_numblks(1ull << 40);
    r.set_blksize(4096);
    r.set_trimsupport(true);
    r.set_removable(true);
    r.set_unmap(true);
    r.set_samewrite(true);
    r.set_scheduler("mq-deadline");
    r.set_label("gpt");
    r.set_rotationspeed(-1);
    r.set_isflashdisk(true);
    r.set_scsiversion(7);
    r.set_devicetype(255);
    blkdev c(r);
    blkdev a;
    a = r;
    for (const blkdev* p : {&c, &a}) {
        EXPECT_EQ(p->get_dev(), "/dev/sdb");
        EXPECT_EQ(p->get_legatopath(), "2:0:1:0");
        EXPECT_EQ(p->get_sgdev(), "/dev/sg3");
        EXPECT_EQ(p->devnotostr(), "259 : 0");
        EXPECT_EQ(p->get_vendor(), "QEMU    ");
        EXPECT_EQ(p->get_model(), "QEMU HARDDISK   ");
        EXPECT_EQ(p->get_serial(), "S N ");
        EXPECT_EQ(p->get_transport(), velka::blkdev::e_sas);
        EXPECT_EQ(p->get_blocks(), 1ull << 40);
        EXPECT_EQ(p->get_blksize(), 4096u);
        EXPECT_TRUE(p->get_trimsupport() && p->get_removable() && p->get_unmap() &&
                    p->get_samewrite() && p->get_isflashdisk());
        EXPECT_EQ(p->get_scheduler(), "mq-deadline");
        EXPECT_EQ(p->get_label(), "gpt");
        EXPECT_EQ(p->get_rotationspeed(), -1);
        EXPECT_EQ(p->get_scsiversion(), 7u);
        EXPECT_EQ(p->get_devicetype(), 255u);
    }
    r.set_major(-1);
    r.set_minor(-2);
    EXPECT_EQ(r.devnotostr(), "-1 : -2");
    a.logdevinfo();
    empty.logdevinfo();  // silent: no handle
    EXPECT_TRUE(log.has(msg("blkdev", "blkdev::logdevinfo", "Working on Block device: /dev/sdb")));
    EXPECT_EQ(log.count_containing("Working on Block device"), 1u);
    velka::scsi::vpdinfo v;
    EXPECT_FALSE(v.m_ascii || v.m_serialnum || v.m_identity || v.m_extinquiry || v.m_modepage ||
                 v.m_scsiports || v.m_atainformation || v.m_powercondition || v.m_protocollun ||
                 v.m_blocklimit || v.m_blkdev || v.m_provisioning);
    v.m_blkdev = v.m_ascii = v.m_provisioning = true;
    v.reset();
    EXPECT_FALSE(v.m_ascii || v.m_blkdev || v.m_provisioning);
}

// Each lab disk's sysfs view, through the extractors, against the tools' view of the same disk.
TEST_F(BlkdevRoot, SysfsExtractorsAgainstTheToolsOnLabDisks) {
    fakesysfs();
    std::string slsscsi = velka_test::slurp(velka_test::fixture("disks/lsscsi-t-g.out"));
    blkdevparams params(nullptr);
    params.set_hosttransport(1, velka::blkdev::e_sas);  // host1 is the SAS HBA of the capture
    for (const char* sdisk : s_disks) {
        SCOPED_TRACE(sdisk);
        std::string d = velka_test::fixture(std::string("disks/") + sdisk + "/");
        std::string sname, saddr, ssg;
        std::istringstream(velka_test::slurp(d + "names")) >> sname >> saddr >> ssg;
        std::string sinq = velka_test::slurp(d + "sg_inq.out");
        std::string sudev = velka_test::slurp(d + "udevadm.out");
        std::string sreadcap = velka_test::slurp(d + "sg_readcap-l.out");

        blkdev b("/dev/" + sname, nullptr);
        b.set_legatopath(saddr);
        std::string scsidir = "/sys/bus/scsi/devices/" + saddr, blockdir = "/sys/block/" + sname;
        params.extractvendor(scsidir, b);
        params.extractmodel(scsidir, b);
        params.extractscsiversion(scsidir, b);
        params.extractsgdev(scsidir, "/dev", b);
        params.extracttransporttype(b);
        params.extractdevno(blockdir, b);
        params.extractremovable(blockdir, b);
        params.extractscheduler(blockdir, b);

        EXPECT_EQ(b.get_vendor(), after(sinq, "Vendor identification: "));
        EXPECT_EQ(b.get_model(), after(sinq, "Product identification: "));
        // The kernel's SCSI level is the INQUIRY version plus one.
        EXPECT_EQ(b.get_scsiversion(),
                  std::stoul(after(sinq, "version=0x").substr(0, 2), nullptr, 16) + 1);
        EXPECT_EQ(b.get_sgdev(), ssg);
        EXPECT_NE(slsscsi.find("[" + saddr + "]"), std::string::npos);
        std::string sline = after(slsscsi, "[" + saddr + "]");
        EXPECT_NE(sline.find("/dev/" + sname + "   " + ssg), std::string::npos) << sline;
        EXPECT_EQ(b.get_transport() == velka::blkdev::e_sas,
                  sline.find(" sas:") != std::string::npos);
        EXPECT_EQ(std::to_string(b.get_major()), after(sudev, "MAJOR="));
        EXPECT_EQ(std::to_string(b.get_minor()), after(sudev, "MINOR="));
        EXPECT_EQ(b.get_removable(), after(sinq, "RMB=").substr(0, 1) == "1");
        EXPECT_EQ(b.get_scheduler(), "mq-deadline");
        // The block size file counts 512-byte units.
        params.extractsize(blockdir, b);
        EXPECT_EQ(b.get_blksize(), 512u);
        EXPECT_EQ(std::to_string(b.get_blocks()), after(sreadcap, "Number of logical blocks="));
    }
}

// Attribute files that are empty, garbage, huge or missing give empty texts and zeros.
TEST_F(BlkdevRoot, BadAttributeFiles) {
    velka_test::tempdir dir;
    struct row {
        const char* sdev;
        int imajor, iminor;
        const char* sremovable;
        bool bremovable;
    };
    const row rows[] = {
        {"", 0, 0, "", false},
        {"8:32\n", 8, 32, "1\n", true},
        {"8", 0, 0, "0", false},
        {"abc:xyz", 0, 0, "yes", false},
        {" 8 : 33 trailing", 8, 33, "2", true},
        {":", 0, 0, "-1", true},
        {"99999999999999999999:1", 2147483647, 1, "\n1", false},
        {"\n8:1", 0, 0, "\x01\x02", false},
    };
    blkdevparams params(nullptr);
    for (const row& r : rows) {
        velka_test::spew(dir / "dev", r.sdev);
        velka_test::spew(dir / "removable", r.sremovable);
        blkdev b("/dev/sdz", nullptr);
        b.set_major(77);
        b.set_minor(77);
        params.extractdevno(dir.path(), b);
        params.extractremovable(dir.path(), b);
        EXPECT_EQ(b.get_major(), r.imajor) << r.sdev;
        EXPECT_EQ(b.get_minor(), r.iminor) << r.sdev;
        EXPECT_EQ(b.get_removable(), r.bremovable) << r.sremovable;
    }
    std::string shuge(1 << 20, 'V');
    velka_test::spew(dir / "vendor", shuge + "\nsecond line\n");
    velka_test::spew(dir / "model", "");
    velka_test::spew(dir / "scsi_level", "garbage");
    mkdir((dir / "queue").c_str(), 0755);
    velka_test::spew(dir / "queue/scheduler", "mq-deadline kyber none\n");
    blkdev b("/dev/sdz", nullptr);
    b.set_scheduler("kept");
    b.set_sgdev("/dev/sg9");
    params.extractvendor(dir.path(), b);
    params.extractmodel(dir.path(), b);
    params.extractscsiversion(dir.path(), b);
    params.extractscheduler(dir.path(), b);
    params.extractsgdev(dir.path(), "/dev", b);
    EXPECT_EQ(b.get_vendor(), shuge);
    EXPECT_EQ(b.get_model(), "");
    EXPECT_EQ(b.get_scsiversion(), 0u);
    EXPECT_EQ(b.get_scheduler(), "kept");
    EXPECT_EQ(b.get_sgdev(), "");
    // An empty scsi_generic directory gives no node; one entry gives /dev/{entry}.
    mkdir((dir / "scsi_generic").c_str(), 0755);
    b.set_sgdev("/dev/sg9");
    params.extractsgdev(dir.path(), "/dev", b);
    EXPECT_EQ(b.get_sgdev(), "");
    mkdir((dir / "scsi_generic/sg4").c_str(), 0755);
    params.extractsgdev(dir.path(), "/dev", b);
    EXPECT_EQ(b.get_sgdev(), "/dev/sg4");
    // Everything missing.
    velka_test::tempdir none;
    blkdev m("/dev/sdz", nullptr);
    m.set_vendor("x");
    params.extractvendor(none / "gone", m);
    params.extractsize(none / "gone", m);
    params.extractdevno(none / "gone", m);
    EXPECT_EQ(m.get_vendor(), "");
    EXPECT_EQ(m.get_blocks(), 0u);
    EXPECT_EQ(m.get_blksize(), 512u);
    EXPECT_EQ(m.devnotostr(), "0 : 0");
    // Transport: hosts outside the map, and an empty address, are plain SCSI.
    params.set_hosttransport(3, velka::blkdev::e_fc);
    for (auto r : {std::make_pair("3:0:0:0", velka::blkdev::e_fc),
                   {"30:0:0:0", velka::blkdev::e_scsi},
                   {"", velka::blkdev::e_scsi}}) {
        m.set_legatopath(r.first);
        m.set_transport(velka::blkdev::e_unknown);
        params.extracttransporttype(m);
        EXPECT_EQ(m.get_transport(), r.second) << r.first;
    }
}

// No usable generic node: every SCSI extractor logs its failure and stores its fallbacks.
TEST_F(BlkdevRoot, ScsiExtractorsWithoutANode) {
    for (std::string ssg : {"", "/nonexistent/sg7", "/dev/null"}) {
        SCOPED_TRACE(ssg);
        logcapture log;
        blkdevparams params(log.src());
        blkdev b("/dev/sdz", nullptr);
        b.set_numblks(5);
        b.set_blksize(5);
        b.set_serial("old");
        b.set_rotationspeed(7200);
        b.set_isflashdisk(true);
        b.set_unmap(true);
        b.set_samewrite(true);
        EXPECT_EQ(params.extractblkdevcapacity(ssg, b), -1);
        EXPECT_EQ(params.extractuuid(ssg, b), -1);
        EXPECT_EQ(params.extractdevicetype(ssg, b), -1);
        EXPECT_EQ(params.extractrotationspeed(ssg, b), -1);
        EXPECT_EQ(params.extractprovisioninginfo(ssg, b), -1);
        velka::scsi::vpdinfo v = params.extractvpdinfo(ssg);
        EXPECT_FALSE(v.m_serialnum || v.m_blkdev || v.m_provisioning);
        EXPECT_EQ(b.get_blocks(), 0u);
        EXPECT_EQ(b.get_blksize(), 0u);
        EXPECT_EQ(b.get_serial(), "");
        EXPECT_EQ(b.get_devicetype(), 255u);
        EXPECT_EQ(b.get_rotationspeed(), -1);
        EXPECT_FALSE(b.get_isflashdisk() || b.get_unmap() || b.get_samewrite());
        const std::pair<const char*, std::string> lines[] = {
            {"blkdevmgr::extractblkdevcapacity", "Failed to extract capacity for " + ssg},
            {"blkdevmgr::extractuuid", "Failed to extract uuid for " + ssg},
            {"blkdevmgr::extractuuid", "uuid for " + ssg + " : "},
            {"blkdevmgr::extractdevicetype", "Failed to determine device type for " + ssg},
            {"blkdevmgr::extractvpdinfo", "Failed to extract vpdinfo for " + ssg},
            {"blkdevmgr::extractrotationspeed", "Failed to extract rotation speed for " + ssg},
            {"blkdevmgr::extractprovisioninginfo",
             "Failed to extract logical block provisioning information for " + ssg},
        };
        for (const auto& l : lines)
            EXPECT_TRUE(log.has(msg("blkdevparams", l.first, l.second))) << l.second;
        // /dev/null opens, so its SG_IO requests are refused and retried: 3 retries per command.
        EXPECT_EQ(log.count_containing(". All retries failed..."), ssg == "/dev/null" ? 6u : 0u);
    }
}

// The real blkid on a loop device: the label is the table type blkid reports, whatever other
// tags stand before it; a whole-disk filesystem has none.
TEST_F(BlkdevRoot, LabelFromTheRealBlkid) {
    VELKA_REQUIRE_TOOL("blkid");
    VELKA_REQUIRE_TOOL("parted");
    VELKA_REQUIRE_TOOL("mkfs.ext4");
    velka_test::loop_device loop(16);
    ASSERT_TRUE(loop.ok());
    const std::string sdev = loop.device();
    const struct {
        std::string sprepare;
        const char* swant;
    } steps[] = {
        {"true", ""},  // blkid prints nothing for an empty device
        {"parted -s " + sdev + " mklabel gpt", "gpt"},
        {"parted -s " + sdev + " mklabel msdos", "dos"},
        // An msdos table with identifier 0: blkid prints PTTYPE alone.
        {"dd if=/dev/zero of=" + sdev + " bs=1 seek=440 count=4 conv=notrunc", "dos"},
        // A filesystem with a label on the whole disk: LABEL, UUID, ... and no PTTYPE.
        {"mkfs.ext4 -q -F -L lab " + sdev, ""},
    };
    blkdevparams params(nullptr);
    blkdev b(sdev, nullptr);
    for (const auto& step : steps) {
        SCOPED_TRACE(step.sprepare);
        ASSERT_EQ(velka_test::sh(step.sprepare + " 2>/dev/null"), 0);
        std::string sout;
        velka_test::sh("blkid -p -s PTTYPE -o value " + sdev, &sout);
        ASSERT_EQ(utilities::trim(sout), step.swant);
        b.set_label("stale");
        params.extractlabel(b);
        EXPECT_EQ(b.get_label(), step.swant);
    }
}

// A device path with blanks and shell metacharacters reaches blkid as one argument; one that
// begins with "-" never reaches it.
TEST_F(BlkdevRoot, LabelCommandQuotesTheDevice) {
    velka_test::fake_tools fakes;
    fakes.add("blkid", "gpt\n");
    velka_test::tempdir dir;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    logcapture log;
    blkdevparams params(log.src());
    const std::string shostile = "/dev/a b;touch pwned $(touch pwned2)'\"";
    blkdev b(shostile, nullptr);
    params.extractlabel(b);
    EXPECT_EQ(b.get_label(), "gpt");
    blkdev o("-p", nullptr);
    o.set_label("stale");
    params.extractlabel(o);
    EXPECT_EQ(o.get_label(), "");
    EXPECT_EQ(chdir("/"), 0);
    EXPECT_FALSE(utilities::isfile(dir / "pwned") || utilities::isfile(dir / "pwned2"));
    ASSERT_EQ(fakes.argvs().size(), 1u);
    EXPECT_EQ(fakes.argvs()[0],
              (std::vector<std::string>{"-s", "PTTYPE", "-o", "value", shostile}));
    EXPECT_EQ(log.count_containing("-p refused: value begins with '-'"), 1u);
}

// A pipeline that cannot start: logged, empty label.
TEST_F(BlkdevRoot, LabelPipelineThatCannotRun) {
    velka_test::tempdir dir;
    velka_test::spew(dir / "sh", "not a shell", 0644);
    velka_test::bind_mount bind(dir / "sh", "/bin/sh");
    ASSERT_TRUE(bind.ok());
    logcapture log;
    blkdevparams params(log.src());
    blkdev b("/dev/sdz", nullptr);
    b.set_label("stale");
    // Neither blkid itself nor the shell, which is asked when blkid is not found, can start.
    const std::string spath = getenv("PATH");
    setenv("PATH", dir.path().c_str(), 1);
    params.extractlabel(b);
    setenv("PATH", spath.c_str(), 1);
    EXPECT_EQ(b.get_label(), "");
    EXPECT_TRUE(log.has(msg("blkdevparams", "blkdevmgr::extractlabel",
                            "blkid -s PTTYPE -o value /dev/sdz execution failed")));
}
