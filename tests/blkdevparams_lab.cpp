// lab-args: --disk scsi-hd:size=256M,serial=VELKAVIRT01,rotation_rate=7200
// lab-args: --disk scsi-hd:size=128M,serial=VELKAFLASH01,rotation_rate=1
// lab-args: --disk sas:size=128M,wwn=0x5000c50015ea71ac,serial=VELKASAS01
// lab-args: --disk sata:size=128M,serial=VELKASATA01
// lab-args: --disk scsi_debug:dev_size_mb=16,lbpu=1,lbpws=1
//
// Real SCSI, SAS and SATA disks of the lab's kernel (virtio-SCSI with a 7200 rpm and a flash
// disk, a SAS disk behind the emulated SAS HBA, an AHCI disk, a scsi_debug disk reporting
// UNMAP and WRITE SAME): every field the extractors fill is compared, disk by disk, with
// sg_inq, sg_vpd, sg_readcap, lsscsi, lsblk, blkid and stat; the pass-through against a real
// generic node; udev entries against udevadm; the inventory's JSON against lsblk and lsscsi.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <list>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/blkdev>
#include <velka/exception>
#include <velka/scsi>
#include <velka/udev>
#include <velka/utilities>

#include "logcapture.h"
#include "velka_test.h"

using velka::blkdev::blkdev;
using velka::blkdev::blkdevparams;
using velka::utilities::utilities;
using velka_test::logcapture;
using velka_test::msg;

namespace {

std::string run(const std::string& scmd) {
    std::string sout;
    velka_test::sh(scmd + " 2>/dev/null", &sout);
    return sout;
}

std::string after(const std::string& stext, const std::string& skey) {
    size_t p = stext.find(skey);
    if (p == std::string::npos) return "<" + skey + " missing>";
    p += skey.size();
    return stext.substr(p, stext.find('\n', p) - p);
}

struct labdisk {
    std::string saddr, sname, ssg;
};

// The lab's SCSI disks from lsscsi -g: address, /dev/sdX, /dev/sgN.
std::vector<labdisk> labdisks() {
    std::vector<labdisk> l;
    std::istringstream in(run("lsscsi -g"));
    std::string sline;
    while (std::getline(in, sline)) {
        std::istringstream w(sline);
        std::vector<std::string> words;
        std::string s;
        while (w >> s) words.push_back(s);
        if (words.size() < 3 || words[1] != "disk") continue;
        labdisk d{words[0].substr(1, words[0].size() - 2), words[words.size() - 2].substr(5),
                  words.back()};
        l.push_back(d);
    }
    return l;
}

// A record filled by every extractor, hosts of /sys/class/sas_host and fc_host mapped.
blkdev describe(const labdisk& d, blkdevparams& params, velka::scsi::vpdinfo& v) {
    blkdev b("/dev/" + d.sname, nullptr);
    std::string sscsi = "/sys/bus/scsi/devices/" + d.saddr, sblock = "/sys/block/" + d.sname;
    b.set_legatopath(d.saddr);
    params.extractvendor(sscsi, b);
    params.extractmodel(sscsi, b);
    params.extractscsiversion(sscsi, b);
    params.extractsgdev(sscsi, "/dev", b);
    EXPECT_EQ(params.extractblkdevcapacity(b.get_sgdev(), b), 0);
    EXPECT_EQ(params.extractuuid(b.get_sgdev(), b), 0);
    EXPECT_EQ(params.extractdevicetype(b.get_sgdev(), b), 0);
    EXPECT_EQ(params.extractrotationspeed(b.get_sgdev(), b), 0);
    EXPECT_EQ(params.extractprovisioninginfo(b.get_sgdev(), b), 0);
    v = params.extractvpdinfo(b.get_sgdev());
    params.extracttransporttype(b);
    params.extractlabel(b);
    params.extractdevno(sblock, b);
    params.extractremovable(sblock, b);
    params.extractscheduler(sblock, b);
    return b;
}

void maphosts(blkdevparams& params) {
    for (auto c : {std::make_pair("/sys/class/sas_host", velka::blkdev::e_sas),
                   {"/sys/class/fc_host", velka::blkdev::e_fc}}) {
        std::list<std::string> l;
        utilities::readdir(c.first, l);
        for (const auto& s : l) params.set_hosttransport(utilities::strtoi(s.substr(4)), c.second);
    }
}

}  // namespace

// One table per disk: field, the library's value, the tool's value.
TEST(Lab_Disks, EveryFieldAgainstTheIndependentTools) {
    std::vector<labdisk> ldisks = labdisks();
    ASSERT_EQ(ldisks.size(), 5u) << run("lsscsi -g");
    // Two disks carry partition tables, so the label has something to show.
    ASSERT_EQ(velka_test::sh("parted -s /dev/" + ldisks[0].sname + " mklabel gpt"), 0);
    ASSERT_EQ(velka_test::sh("parted -s /dev/" + ldisks[1].sname + " mklabel msdos"), 0);
    velka_test::sh("udevadm settle");
    blkdevparams params(nullptr);
    maphosts(params);
    std::string slsscsi = run("lsscsi -t -g");
    std::set<std::string> lseen;
    for (const labdisk& d : ldisks) {
        velka::scsi::vpdinfo v;
        blkdev b = describe(d, params, v);
        std::string ssg = d.ssg;
        std::string sinq = run("sg_inq " + ssg), ssn = run("sg_vpd -p sn " + ssg),
                    sbdc = run("sg_vpd -p bdc " + ssg), slbp = run("sg_vpd -p lbpv " + ssg),
                    ssv = run("sg_vpd -p sv " + ssg), scap = run("sg_readcap -l " + ssg),
                    sline = after(slsscsi, "[" + d.saddr + "]");
        std::string slsblk =
            run("lsblk -d -n -b -P -o MAJ:MIN,RM,SCHED,PTTYPE,SIZE /dev/" + d.sname);
        auto pair = [&](const std::string& skey) {
            std::string s = after(slsblk, skey + "=\"");
            return s.substr(0, s.find('"'));
        };
        std::string smajmin = pair("MIN"), srm = pair("RM"), ssched = pair("SCHED"),
                    spttype = pair("PTTYPE"), ssize = pair("SIZE");
        if (spttype.empty()) spttype = "-";
        struct stat st;
        ASSERT_EQ(stat(("/dev/" + d.sname).c_str(), &st), 0);
        std::string sblkidpt = utilities::trim(run("blkid -p -s PTTYPE -o value /dev/" + d.sname));
        int irate = b.get_rotationspeed();
        std::string stoolrate = sbdc.find("Non-rotating medium") != std::string::npos ? "1"
                                : sbdc.find("rotation rate is not reported") != std::string::npos
                                    ? "0"
                                    : after(sbdc, "Nominal rotation rate: ");
        if (stoolrate.size() > 4 && stoolrate.substr(stoolrate.size() - 4) == " rpm")
            stoolrate.resize(stoolrate.size() - 4);
        std::string spages;
        for (auto p : {std::make_pair("[sn]", v.m_serialnum),
                       {"[di]", v.m_identity},
                       {"[ei]", v.m_extinquiry},
                       {"[mpp]", v.m_modepage},
                       {"[sp]", v.m_scsiports},
                       {"[ai]", v.m_atainformation},
                       {"[pc]", v.m_powercondition},
                       {"[pslu]", v.m_protocollun},
                       {"[bl]", v.m_blocklimit},
                       {"[bdc]", v.m_blkdev},
                       {"[lbpv]", v.m_provisioning}})
            if (p.second) spages += p.first;
        std::string stoolpages;
        for (const char* p : {"[sn]", "[di]", "[ei]", "[mpp]", "[sp]", "[ai]", "[pc]", "[pslu]",
                              "[bl]", "[bdc]", "[lbpv]"})
            if (ssv.find(p) != std::string::npos) stoolpages += p;

        const std::vector<std::vector<std::string>> rows = {
            {"vendor", b.get_vendor(), after(sinq, "Vendor identification: ")},
            {"model", b.get_model(), after(sinq, "Product identification: ")},
            {"serial", b.get_serial(), after(ssn, "Unit serial number: ")},
            {"device type", std::to_string(b.get_devicetype()),
             after(sinq, "PDT=").substr(0, after(sinq, "PDT=").find(' '))},
            {"scsi level", std::to_string(b.get_scsiversion()),
             std::to_string(std::stoul(after(sinq, "version=0x").substr(0, 2), nullptr, 16) + 1)},
            {"blocks", std::to_string(b.get_blocks()), after(scap, "Number of logical blocks=")},
            {"block size", std::to_string(b.get_blksize()) + " bytes",
             after(scap, "Logical block length=")},
            {"rotation", std::to_string(irate), stoolrate},
            {"flash", b.get_isflashdisk() ? "1" : "0", stoolrate == "1" ? "1" : "0"},
            {"unmap", b.get_unmap() ? "1" : "0", after(slbp, "Unmap command supported (LBPU): ")},
            {"write same", b.get_samewrite() ? "1" : "0",
             after(slbp, "Write same (16) with unmap bit supported (LBPWS): ")},
            {"vpd pages", spages, stoolpages},
            {"generic node", b.get_sgdev(),
             sline.substr(sline.rfind(' ', sline.size() - 2) + 1,
                          sline.find_last_not_of(' ') - sline.rfind(' ', sline.size() - 2))},
            {"transport", b.get_transport() == velka::blkdev::e_sas ? "sas" : "not sas",
             sline.find(" sas:") != std::string::npos ? "sas" : "not sas"},
            {"major:minor", std::to_string(b.get_major()) + ":" + std::to_string(b.get_minor()),
             std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev))},
            {"lsblk maj:min", std::to_string(b.get_major()) + ":" + std::to_string(b.get_minor()),
             smajmin},
            {"removable", b.get_removable() ? "1" : "0", srm},
            {"scheduler", b.get_scheduler(), ssched},
            {"label", b.get_label().empty() ? "-" : b.get_label(),
             sblkidpt.empty() ? "-" : sblkidpt},
            {"lsblk pttype", b.get_label().empty() ? "-" : b.get_label(), spttype},
            {"bytes", std::to_string(b.get_blocks() * b.get_blksize()), ssize},
        };
        printf("%s (%s, %s)\n", b.get_dev().c_str(), d.saddr.c_str(), ssg.c_str());
        for (const auto& r : rows) {
            printf("  %-14s %-28s %s\n", r[0].c_str(), ("'" + r[1] + "'").c_str(),
                   ("'" + r[2] + "'").c_str());
            EXPECT_EQ(r[1], r[2]) << b.get_dev() << " " << r[0];
        }
        // What each kind of disk was built with.
        std::string sserial = utilities::trim(b.get_serial());
        if (sserial.compare(0, 5, "VELKA") == 0) lseen.insert(sserial);
        if (sserial == "VELKAVIRT01") {
            EXPECT_EQ(irate, 7200);
        }
        if (sserial == "VELKAFLASH01") {
            EXPECT_TRUE(irate == 1 && b.get_isflashdisk());
        }
        if (sserial == "VELKASAS01") {
            EXPECT_EQ(b.get_transport(), velka::blkdev::e_sas);
        } else {
            EXPECT_EQ(b.get_transport(), velka::blkdev::e_scsi);
        }
        if (sserial == "VELKASATA01") {
            EXPECT_EQ(utilities::trim(b.get_vendor()), "ATA");
        }
        if (utilities::trim(b.get_model()) == "scsi_debug") {
            lseen.insert("scsi_debug");
            EXPECT_TRUE(b.get_unmap() && b.get_samewrite() && v.m_provisioning);
        }
    }
    EXPECT_EQ(lseen, (std::set<std::string>{"VELKAVIRT01", "VELKAFLASH01", "VELKASAS01",
                                            "VELKASATA01", "scsi_debug"}));
}

// The pass-through on a real generic node.
TEST(Lab_Sgdev, RealGenericNode) {
    std::vector<labdisk> ldisks = labdisks();
    ASSERT_FALSE(ldisks.empty());
    const labdisk& d = ldisks.back();
    logcapture log;
    velka::scsi::sgdev dev(d.ssg, log.src());
    ASSERT_TRUE(dev.isopen());

    // A standard INQUIRY: the same bytes sg_inq receives.
    unsigned char cdb[6] = {0x12, 0, 0, 0, 96, 0};
    unsigned char data[96] = {0}, sense[512];
    ASSERT_EQ(dev.sgio(cdb, 6, data, sizeof(data), false, sense, sizeof(sense), 30), 0);
    std::string sraw = run("sg_inq -r -l 96 " + d.ssg);
    ASSERT_GE(sraw.size(), 36u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 36), sraw.substr(0, 36));
    EXPECT_GE(dev.get_received(), 36);

    // The reserved buffer: 8 MiB, or what the queue allows, as the kernel reports it for the
    // handle's own descriptor.
    int ifd = -1;
    std::list<std::string> lfds;
    utilities::readdir("/proc/self/fd", lfds);
    for (const auto& s : lfds) {
        char buf[256] = {0};
        ssize_t n = readlink(("/proc/self/fd/" + s).c_str(), buf, sizeof(buf) - 1);
        if (n > 0 && d.ssg == buf) ifd = utilities::strtoi(s);
    }
    ASSERT_GE(ifd, 0);
    int ireserved = 0;
    ASSERT_EQ(ioctl(ifd, SG_GET_RESERVED_SIZE, &ireserved), 0);
    int imaxbytes =
        utilities::strtoi(utilities::read("/sys/block/" + d.sname + "/queue/max_sectors_kb")) *
        1024;
    EXPECT_EQ(ireserved, std::min(0x800000, imaxbytes)) << imaxbytes;

    // A READ(10) beyond the last block: CHECK CONDITION, ILLEGAL REQUEST in the sense data.
    unsigned char rd[10] = {0x28, 0, 0xFF, 0xFF, 0xFF, 0xF0, 0, 0, 1, 0};
    unsigned char block[512];
    try {
        dev.sgio(rd, 10, block, sizeof(block), false, sense, sizeof(sense), 30);
        ADD_FAILURE() << "a read beyond the disk succeeded";
    } catch (velka::exception::exception& e) {
        EXPECT_EQ(e.get_errno(), 71);
        EXPECT_EQ(e.get_desc(),
                  "Host threw status 2 while processing READ10 sent to scsi device " + d.ssg);
        unsigned int ukey = (sense[0] & 0x7f) >= 0x72 ? sense[1] & 0x0f : sense[2] & 0x0f;
        EXPECT_EQ(ukey, 5u) << std::hex << int(sense[0]) << " " << int(sense[1]) << " "
                            << int(sense[2]);
    }
    EXPECT_TRUE(
        log.has(msg("scsi", "sgdev::sgio",
                    "Host threw status 2 while processing READ10 sent to scsi device " + d.ssg)));
    EXPECT_EQ(log.count_containing("Will retry"), 0u);

    // Bad lengths, a closed handle, a missing node.
    for (int ilen : {0, 7, 32}) {
        try {
            dev.sgio(cdb, ilen, data, sizeof(data), false, sense, sizeof(sense), 30);
            ADD_FAILURE() << ilen;
        } catch (velka::exception::exception& e) {
            EXPECT_EQ(e.get_errno(), 22);
        }
    }
    dev.close();
    try {
        dev.sgio(cdb, 6, data, sizeof(data), false, sense, sizeof(sense), 30);
        ADD_FAILURE() << "closed handle";
    } catch (velka::exception::exception& e) {
        EXPECT_EQ(e.get_errno(), 77);
    }
    EXPECT_EQ(dev.open("/dev/sg99"), -1);
    EXPECT_EQ(dev.get_errno(), ENOENT);
    EXPECT_EQ(dev.open(d.ssg), 0);
    EXPECT_EQ(dev.sgio(cdb, 6, data, sizeof(data), false, nullptr, 0, 0), 0);
}

// udev entries for a disk, its partition and a by-id link, in a fresh /run/udev/data, against
// udevadm's own answer for the same node.
TEST(Lab_Udev, EntriesEqualUdevadm) {
    std::vector<labdisk> ldisks = labdisks();
    ASSERT_GE(ldisks.size(), 3u);
    std::string sdisk = "/dev/" + ldisks[2].sname;
    ASSERT_EQ(velka_test::sh("parted -s " + sdisk + " mklabel gpt mkpart p1 1MiB 9MiB"), 0);
    velka_test::sh("udevadm settle");
    std::string spart = sdisk + "1";
    ASSERT_TRUE(utilities::isblkdev(spart));
    std::string slink = utilities::trim(
        run("ls /dev/disk/by-id/ | grep -v -- -part | while read l; do [ \"$(readlink -f "
            "/dev/disk/by-id/$l)\" = " +
            sdisk + " ] && echo /dev/disk/by-id/$l && break; done"));
    ASSERT_FALSE(slink.empty());

    // The udev daemon's answer for the disk, from its own database (hidden below).
    std::string sdaemon = run("/sbin/udevadm info --query=property --name " + sdisk);
    ASSERT_NE(sdaemon.find("ID_SERIAL="), std::string::npos) << sdaemon;

    velka_test::tmpfs_mount db("/run/udev/data");
    ASSERT_TRUE(db.ok());
    logcapture log;
    velka::udev::udev writer(log.src());
    EXPECT_EQ(writer.create_entry(spart), 0);
    EXPECT_EQ(writer.create_entry(slink), 0);  // the disk's numbers, through the link
    for (const std::string& s : {sdisk, spart}) {
        struct stat st;
        ASSERT_EQ(stat(s.c_str(), &st), 0);
        std::string sentry = "/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" +
                             std::to_string(minor(st.st_rdev));
        std::string sfile = velka_test::slurp(sentry);
        EXPECT_NE(sfile.find("E:DEVNAME=" + s + "\n"), std::string::npos) << sfile;
        EXPECT_EQ(sfile, run("/sbin/udevadm info --query=property --name " + s + " | sed s/^/E:/"))
            << s;
        // A second call leaves the entry alone.
        velka_test::spew(sentry, "KEPT=1\n");
        EXPECT_EQ(writer.create_entry(s), 0);
        EXPECT_EQ(velka_test::slurp(sentry), "KEPT=1\n");
    }
    // udevadm reads the entry back: an entry written from the daemon's answer (udevadm at
    // writing time replays it) gives every one of those properties, ID_SERIAL and the rest.
    struct stat st;
    ASSERT_EQ(stat(sdisk.c_str(), &st), 0);
    ASSERT_EQ(unlink(("/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" +
                      std::to_string(minor(st.st_rdev)))
                         .c_str()),
              0);
    {
        velka_test::fake_tools fakes;
        fakes.add("udevadm", sdaemon);
        velka_test::bind_mount bind(fakes.script_path("udevadm"), "/sbin/udevadm");
        ASSERT_TRUE(bind.ok());
        EXPECT_EQ(writer.create_entry(sdisk), 0);
    }
    std::string sback = run("/sbin/udevadm info --query=property --name " + sdisk);
    std::istringstream in(sdaemon);
    for (std::string sprop; std::getline(in, sprop);)
        EXPECT_NE(sback.find(sprop + "\n"), std::string::npos) << sprop << " not in\n" << sback;
    EXPECT_EQ(log.count_containing("Succesfully created create udev entry /run/udev/data/b"), 3u);
    EXPECT_TRUE(
        log.has(msg("udev", "udev::create_entry",
                    "udev information will be extracted for " + slink +
                        " using command /sbin/udevadm info --query=property --name " + slink)));
}

// The inventory's JSON against lsblk and lsscsi, run as is and where /run/udev/data is missing
// (then the disks are described in a private child).
TEST(Lab_Inventory, JsonAgainstLsblkAndLsscsi) {
    std::string sinv = std::string(VELKA_BINARY_DIR) + "/tools/velka-inventory";
    ASSERT_TRUE(velka_test::have_tool(sinv));
    velka_test::tempdir dir;
    const char* scheck = R"PY(
import json, subprocess, sys
inv = json.load(open(sys.argv[1]))["disks"]
blk = {d["path"]: d for d in json.loads(subprocess.check_output(
    ["lsblk", "-J", "-O", "-b", "-d"]))["blockdevices"]}
scsi = {}
for line in subprocess.check_output(["lsscsi", "-t", "-g"], text=True).splitlines():
    w = line.split()
    scsi[w[0].strip("[]")] = (w[2], w[-2], w[-1])
assert len(inv) == len([l for l in scsi.values() if l[1].startswith("/dev/sd")]), (inv, scsi)
for d in inv:
    b = blk[d["device"]]
    tran, dev, sg = scsi[d["scsi_address"]]
    checks = [
        ("hctl", d["scsi_address"], b["hctl"]),
        ("vendor", d["vendor"], (b["vendor"] or "").strip()),
        ("model", d["model"], (b["model"] or "").strip()),
        ("rev", d["revision"], (b["rev"] or "").strip()),
        ("size", d["capacity_bytes"], b["size"]),
        ("log-sec", d["block_size"], b["log-sec"]),
        ("rota", not d["flash"], b["rota"]),
        ("pttype", d["label"], b["pttype"] or ""),
        ("lsscsi dev", d["device"], dev),
        ("lsscsi sg", d["generic_node"], sg),
        ("lsscsi sas", d["transport"] == "sas", tran.startswith("sas:")),
        ("lsblk tran sas", d["transport"] == "sas", b["tran"] == "sas"),
        ("discard", d["unmap"] or d["write_same"], b["disc-max"] > 0),
    ]
    if b["serial"] is not None and d["transport"] != "sas":
        checks.append(("serial", d["serial"], b["serial"]))
    for name, mine, theirs in checks:
        print("%-10s %-16s %-14s %-30r %r" % (d["device"], d["scsi_address"], name, mine, theirs))
        assert mine == theirs, (d["device"], name, mine, theirs)
print("checked", len(inv), "disks")
)PY";
    velka_test::spew(dir / "check.py", scheck);
    ASSERT_EQ(velka_test::sh(sinv + " --json > " + dir / "inv.json"), 0);
    std::string sout;
    EXPECT_EQ(velka_test::sh("python3 " + dir / "check.py " + dir / "inv.json 2>&1", &sout), 0)
        << sout;
    printf("%s", sout.c_str());
    std::string stable = run(sinv);
    EXPECT_NE(stable.find("Disks"), std::string::npos);
    EXPECT_NE(stable.find("WRITE SAME (unmap)"), std::string::npos) << stable;

    // Without a udev database directory the inventory creates none and says the same.
    velka_test::tmpfs_mount runfs("/run");
    ASSERT_TRUE(runfs.ok());
    ASSERT_EQ(velka_test::sh(sinv + " --json > " + dir / "inv2.json"), 0);
    EXPECT_FALSE(utilities::isdir("/run/udev"));
    std::string sfirst = velka_test::slurp(dir / "inv.json"),
                ssecond = velka_test::slurp(dir / "inv2.json");
    ASSERT_NE(sfirst.find("\"disks\""), std::string::npos);
    EXPECT_EQ(ssecond.substr(ssecond.find("\"disks\"")), sfirst.substr(sfirst.find("\"disks\"")));
}
