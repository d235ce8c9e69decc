// lab-args: --cpus 2 --disk scsi_debug:dev_size_mb=32,add_host=2,per_host_store=1
// lab-args: --disk scsi-hd:size=128M,serial=VELKAFLT1 --disk scsi-hd:size=1G,serial=VELKAFLT2
//
// Faults injected for real: scsi_debug medium errors, device-mapper error and flakey targets
// (every I/O, writes only, or one second in two), a full filesystem, tools killed mid-way and
// disks deleted under the library, also in the middle of a copy. Every row must fail cleanly
// (a non-zero result, or for a disk read that does not touch the medium the right answer)
// and return within its bound; a call that overruns fails the whole run at once. Each row
// prints its result, its time and the thread's last failure.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <velka/archiver>
#include <velka/blkdev>
#include <velka/exception>
#include <velka/fs>
#include <velka/lasterror>
#include <velka/lvm>
#include <velka/mtcopy>
#include <velka/smartctl>
#include <velka/utilities>

#include "velka_test.h"

using velka::utilities::utilities;

namespace {

// The first disk but sskip whose model or unit serial holds stext, as "sdX"; "" when none.
std::string findisk(const std::string& stext, const std::string& sskip = "") {
    std::list<std::string> l;
    utilities::readdir("/sys/block", l);
    for (const auto& s : l)
        if (s.compare(0, 2, "sd") == 0 && s != sskip &&
            (velka_test::slurp("/sys/block/" + s + "/device/model").find(stext) == 0 ||
             velka_test::slurp("/sys/block/" + s + "/device/vpd_pg80").find(stext) !=
                 std::string::npos))
            return s;
    return "";
}

// Kills the first process named scomm (SIGKILL) as soon as it shows; false if none does
// within 60 s.
bool killwhenseen(const std::string& scomm) {
    for (int i = 0; i < 6000; ++i) {
        std::list<std::string> l;
        utilities::readdir("/proc", l);
        for (const auto& s : l)
            if (isdigit(static_cast<unsigned char>(s[0])) &&
                utilities::trim(velka_test::slurp("/proc/" + s + "/comm")) == scomm)
                return kill(atoi(s.c_str()), SIGKILL) == 0;
        usleep(10000);
    }
    return false;
}

// Every read of the scsi_debug disks fails with a medium error (opts 2), or none does (0);
// the page cache is dropped so that reads reach the disk.
std::string medium(const char* sopts) {
    return "echo 0 >/sys/module/scsi_debug/parameters/medium_error_start && echo 65536 "
           ">/sys/module/scsi_debug/parameters/medium_error_count && echo " +
           std::string(sopts) +
           " >/sys/bus/pseudo/drivers/scsi_debug/opts && echo 3 >/proc/sys/vm/drop_caches";
}

// The result of op while the first process named scomm is killed; 0 if none was.
int killing(const std::string& scomm, const std::function<int()>& op) {
    auto k = std::async(std::launch::async, [&] { return killwhenseen(scomm); });
    int i = op();
    return k.get() ? i : 0;
}

int copyresult(const std::string& ssrc, const std::string& sdest) {
    try {
        velka::mtcopy::mtcopy c(ssrc, sdest, 1 << 20, nullptr);
        return c.wait();
    } catch (const velka::exception::exception&) {
        return -2;
    }
}

struct faultrow {
    const char* sname;
    std::string ssetup;  // shell commands run first
    std::function<int()> op;
    int ibound;  // seconds
};

// Each row must fail; a call that has not returned within its bound is a hang and ends the
// run at once (its thread cannot be taken back).
void runrows(const std::vector<faultrow>& v) {
    for (const auto& r : v) {
        ASSERT_EQ(velka_test::sh(r.ssetup + " true"), 0) << r.sname;
        auto t0 = std::chrono::steady_clock::now();
        auto fut = std::async(std::launch::async, [&r] {
            int i = r.op();
            return std::make_pair(i, velka::last_error().tostr());
        });
        if (fut.wait_for(std::chrono::seconds(r.ibound)) != std::future_status::ready) {
            ADD_FAILURE() << r.sname << ": no return within " << r.ibound << " s";
            fflush(nullptr);
            _exit(1);
        }
        auto ret = fut.get();
        double d = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        printf("fault row %-45s result %3d  %6.2f s  %s\n", r.sname, ret.first, d,
               ret.second.c_str());
        EXPECT_NE(ret.first, 0) << r.sname;
    }
}

}  // namespace

TEST(Lab_Faults, EveryFaultFailsCleanlyWithinItsBound) {
    std::string ssd = findisk("scsi_debug"), ssd2 = findisk("scsi_debug", ssd),
                shd = findisk("VELKAFLT1"), shd2 = findisk("VELKAFLT2");
    ASSERT_FALSE(ssd.empty() || ssd2.empty() || shd.empty() || shd2.empty())
        << "the lab was started without its disks";
    velka::fs::fs fs(nullptr);
    velka_test::tempdir dir;
    std::string sbig = dir / "big", sout;
    ASSERT_EQ(velka_test::sh("head -c 8M /dev/urandom >" + sbig), 0);

    // The SCSI identity and capacity need no read of the medium: right with medium errors.
    ASSERT_EQ(velka_test::sh(medium("2")), 0);
    velka::blkdev::blkdev bsd("/dev/" + ssd, nullptr);
    ASSERT_EQ(velka_test::sh("ls /sys/block/" + ssd + "/device/scsi_generic", &sout), 0);
    EXPECT_EQ(velka::blkdev::blkdevparams(nullptr).extractblkdevcapacity(
                  "/dev/" + utilities::trim(sout), bsd),
              0);
    EXPECT_EQ(bsd.get_blocks() * bsd.get_blksize(), 32ull << 20);
    // A file on the scsi_debug disk, held open so that only its data must be read again; a
    // full tmpfs; a device-mapper error target (every I/O fails); a volume group with a thin
    // pool on a linear target that becomes an error target.
    std::string smed = dir / "med", sfull = dir / "full", smnt = dir / "mnt";
    ASSERT_EQ(velka_test::sh(medium("0") + " && mkdir " + smed + " " + sfull + " " + smnt +
                             " && mkfs.ext4 -q /dev/" + ssd + " && mount /dev/" + ssd + " " + smed +
                             " && cp " + sbig + " " + smed +
                             " && sync && mount -t tmpfs "
                             "-o size=2M tmpfs " +
                             sfull + " && dmsetup create velkaerr --table '0 65536 error'" +
                             " && dmsetup create velkapv --table \"0 $(($(blockdev --getsz /dev/" +
                             shd2 + ") - 2048)) linear /dev/" + shd2 + " 2048\""),
              0);
    velka::lvm::lvm lvm(nullptr), lvmpv({"/dev/mapper/velkapv"}, nullptr),
        lvmfw({"/dev/mapper/velkafw"}, nullptr);
    ASSERT_TRUE(lvmpv.vgcreate("velkavg", 4) == 0 && lvmpv.lvpoolcreate("pool", 128) == 0);
    int ifd = open((smed + "/big").c_str(), O_RDONLY | O_CLOEXEC);
    const std::string serr = "/dev/mapper/velkaerr", sfw = "/dev/mapper/velkafw",
                      sflakey = "flakey /dev/" + shd + " 0 ";
    // Each scsi_debug command takes 1 s; sdisk is deleted safter s later, while the call runs.
    auto deleting = [](const char* safter, const std::string& sdisk) {
        return " && echo 250 >/sys/bus/pseudo/drivers/scsi_debug/delay && { (sleep " +
               std::string(safter) + "; echo 1 >/sys/block/" + sdisk +
               "/device/delete) >/dev/null 2>&1 & } &&";
    };
    // A linear target over the whole VELKAFLT1 disk under a mounted ext4, then stable instead.
    auto flipping = [&](const std::string& sdm, const std::string& stable) {
        std::string sdir = dir / sdm, ssz = "\"0 $(blockdev --getsz /dev/" + shd + ") ";
        return "mkdir " + sdir + " && dmsetup create " + sdm + " --table " + ssz + "linear /dev/" +
               shd + " 0\" && mkfs.ext4 -q /dev/mapper/" + sdm + " && mount /dev/mapper/" + sdm +
               " " + sdir + " && touch " + sdir + "/copy && sync && dmsetup suspend " + sdm +
               " && dmsetup load " + sdm + " --table " + ssz + stable + "\" && dmsetup resume " +
               sdm + " &&";
    };
    utilities::write(dir / "list", sbig + " " + sfull + "/a.tar.gz\n");
    utilities::write(dir / "list2", sbig + " " + dir / "k.tar.gz\n");
    utilities::write(dir / "list3", dir / "x.tar.gz " + sfull + "\n");
    velka::blkdev::blkdev bhd("/dev/" + shd, nullptr);
    std::vector<velka::blkdev::partitioninfo> vparts;
    velka::archiver::archiver arch(nullptr);
    runrows({
        {"medium error: partition listing", medium("2") + " &&",
         [&] { return bsd.extractpartitioninfo(vparts); }, 120},
        {"medium error: copy from the disk", "",
         [&] { return copyresult(smed + "/big", sfull + "/../copy"); }, 120},
        {"dm error: mkfs ext4", "", [&] { return fs.mkfs(serr, "ext4"); }, 120},
        {"dm error: mount", "", [&] { return fs.mount(serr, smnt, "ext4", {}); }, 60},
        {"dm error: pvcreate", "", [&] { return lvm.pvcreate(serr); }, 120},
        {"flakey, writes fail: mkfs ext4",
         medium("0") + " && mkfs.ext4 -q /dev/" + ssd2 + " && dmsetup create velkafw --table \"0 " +
             "$(blockdev --getsz /dev/" + ssd2 + ") flakey /dev/" + ssd2 +
             " 0 0 1 1 error_writes\" &&",
         [&] { return fs.mkfs(sfw, "ext4"); }, 120},
        {"flakey, writes fail: mount", "", [&] { return fs.mount(sfw, smnt, "ext4", {}); }, 60},
        {"flakey, writes fail: vgcreate", "", [&] { return lvmfw.vgcreate("velkafwvg", 4); }, 120},
        {"flakey, writes fail: copy onto the device", "", [&] { return copyresult(sbig, sfw); },
         120},
        {"full filesystem: copy", "", [&] { return copyresult(sbig, sfull + "/copy"); }, 120},
        {"full filesystem: archive create", "",
         [&] { return arch.creategziparchive(dir / "list"); }, 300},
        {"full filesystem: archive extract",
         "tar -czf " + dir / "x.tar.gz -C " + dir.path() + " big &&",
         [&] { return arch.extractgziparchive(dir / "list3"); }, 300},
        {"mkfs killed", "",
         [&] { return killing("mkfs.ext4", [&] { return fs.mkfs("/dev/" + shd, "ext4"); }); }, 300},
        {"parted killed", "",
         [&] { return killing("parted", [&] { return bhd.setlabel("gpt"); }); }, 300},
        {"tar killed", "",
         [&] { return killing("tar", [&] { return arch.creategziparchive(dir / "list2"); }); },
         300},
        {"dm error under a mounted filesystem: copy", flipping("velkaflip", "error"),
         [&] { return copyresult(sbig, dir / "velkaflip/copy"); }, 120},
        {"flakey, writes fail, under a filesystem: copy",
         flipping("velkafwfs", sflakey + "0 1 1 error_writes"),
         [&] { return copyresult(sbig, dir / "velkafwfs/copy"); }, 120},
        {"flakey 1 s up, 1 s down, under a filesystem: copies",
         flipping("velkaint", sflakey + "1 1"),
         [&] {
             for (auto t = std::chrono::steady_clock::now();
                  std::chrono::steady_clock::now() - t < std::chrono::seconds(5);)
                 if (int i = copyresult(sbig, dir / "velkaint/copy")) return i;
             return 0;
         },
         120},
        {"PV turned error: lvcreate",
         "dmsetup suspend velkapv && dmsetup load velkapv --table \"0 $(blockdev --getsz "
         "/dev/mapper/velkapv) error\" && dmsetup resume velkapv &&",
         [&] { return lvmpv.lvcreate("lin", 8); }, 120},
        {"PV turned error: thin pool create", "", [&] { return lvmpv.lvpoolcreate("pool2", 80); },
         120},
        {"PV turned error: thin volume create", "",
         [&] { return lvmpv.thinlvcreate("pool", "thin", 8); }, 120},
        {"PV turned error: deactivate", "", [&] { return lvmpv.stopvg("velkavg"); }, 120},
        {"PV turned error: activate", "", [&] { return lvmpv.startvg("velkavg"); }, 120},
        {"disk deleted mid-copy from it", medium("0") + deleting("1", ssd),
         [&] { return copyresult(smed + "/big", dir / "copy3"); }, 120},
        {"disk deleted mid-copy onto it", "dmsetup remove --retry velkafw" + deleting("0.5", ssd2),
         [&] { return copyresult(sbig, "/dev/" + ssd2); }, 120},
        {"disk deleted: partition listing",
         "for i in $(seq 300); do test -e /sys/block/" + ssd +
             " || break; sleep 0.1; done; umount -l " + smed + " &&",
         [&] { return bsd.extractpartitioninfo(vparts); }, 120},
        {"disk deleted: mkfs", "", [&] { return fs.mkfs("/dev/" + ssd, "ext4"); }, 120},
    });
    // A failed copy leaves no destination that looks whole, a failed archive none that reads.
    for (const std::string& s : {sfull + "/copy", dir / "copy", dir / "copy3", sfull + "/big"})
        EXPECT_NE(velka_test::sh("test \"$(stat -c %s " + s + ")\" -ge 8388608"), 0) << s;
    for (const std::string& s : {sfull + "/a.tar.gz", dir / "k.tar.gz"})
        EXPECT_NE(velka_test::sh("gzip -t " + s), 0) << s;
    close(ifd);
    velka_test::sh("umount " + sfull + " " + dir / "velka*" + "; dmsetup remove_all --force");
}

// Slow: run by tests/lab/faults-more on a scsi_debug disk that ignores every command.
TEST(Lab_Faults, DISABLED_SmartWhenEveryCommandTimesOut) {
    std::string ssd = findisk("scsi_debug");
    ASSERT_FALSE(ssd.empty()) << "the lab was started without its disk";
    velka::smartctl::smartctl smart("/dev/" + ssd, nullptr);
    runrows(
        {{"every command times out: SMART health",
          "echo 1 >/sys/bus/pseudo/drivers/scsi_debug/every_nth && echo 4 "
          ">/sys/bus/pseudo/drivers/scsi_debug/opts &&",
          [&] {
              return smart.extractoverallhealth() != 0 ? -1 : smart.hasoverallverdict() ? 0 : -3;
          },
          900}});
}
