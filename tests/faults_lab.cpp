// lab-args: --disk scsi_debug:dev_size_mb=32
// lab-args: --disk scsi-hd:size=128M,serial=VELKAFLT1
//
// Faults injected for real: scsi_debug medium errors, a device-mapper error target, a full
// filesystem, tools killed mid-way and a disk deleted under the library. Every row must fail
// cleanly (a non-zero result, or for a disk read that does not touch the medium the right
// answer) and return within its bound; a call that overruns fails the whole run at once.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <velka/archiver>
#include <velka/blkdev>
#include <velka/exception>
#include <velka/fs>
#include <velka/lvm>
#include <velka/mtcopy>
#include <velka/utilities>

#include "velka_test.h"

using velka::utilities::utilities;

namespace {

// The first disk whose model or unit serial number holds stext, as "sdX"; "" when none.
std::string findisk(const std::string& stext) {
    std::list<std::string> l;
    utilities::readdir("/sys/block", l);
    for (const auto& s : l)
        if (s.compare(0, 2, "sd") == 0 &&
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
        auto fut = std::async(std::launch::async, r.op);
        if (fut.wait_for(std::chrono::seconds(r.ibound)) != std::future_status::ready) {
            ADD_FAILURE() << r.sname << ": no return within " << r.ibound << " s";
            fflush(nullptr);
            _exit(1);
        }
        int iret = fut.get();
        double d = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        printf("fault row %-45s result %3d  %6.2f s\n", r.sname, iret, d);
        EXPECT_NE(iret, 0) << r.sname;
    }
}

}  // namespace

TEST(Lab_Faults, EveryFaultFailsCleanlyWithinItsBound) {
    std::string ssd = findisk("scsi_debug"), shd = findisk("VELKAFLT1");
    ASSERT_FALSE(ssd.empty() || shd.empty()) << "the lab was started without its disks";
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
    // full tmpfs; a device-mapper error target (every I/O fails) and a linear one that
    // becomes an error target under a mounted filesystem.
    std::string smed = dir / "med", sfull = dir / "full", sflip = dir / "flip";
    ASSERT_EQ(velka_test::sh(medium("0") + " && mkdir " + smed + " " + sfull + " " + sflip +
                             " && mkfs.ext4 -q /dev/" + ssd + " && mount /dev/" + ssd + " " + smed +
                             " && cp " + sbig + " " + smed +
                             " && sync && mount -t tmpfs "
                             "-o size=2M tmpfs " +
                             sfull + " && dmsetup create velkaerr --table '0 65536 error'"),
              0);
    int ifd = open((smed + "/big").c_str(), O_RDONLY);
    const std::string serr = "/dev/mapper/velkaerr",
                      ssz = "\"0 $(blockdev --getsz /dev/" + shd + ") ";
    const std::string sflipping =
        "dmsetup create velkaflip --table " + ssz + "linear /dev/" + shd +
        " 0\" && mkfs.ext4 -q /dev/mapper/velkaflip && mount /dev/mapper/velkaflip " + sflip +
        " && touch " + sflip +
        "/copy && sync && dmsetup suspend velkaflip && dmsetup load "
        "velkaflip --table " +
        ssz + "error\" && dmsetup resume velkaflip &&";
    utilities::write(dir / "list", sbig + " " + sfull + "/a.tar.gz\n");
    utilities::write(dir / "list2", sbig + " " + dir / "k.tar.gz\n");
    velka::blkdev::blkdev bhd("/dev/" + shd, nullptr);
    std::vector<velka::blkdev::partitioninfo> vparts;
    velka::archiver::archiver arch(nullptr);
    velka::lvm::lvm lvm(nullptr);
    runrows({
        {"medium error: partition listing", medium("2") + " &&",
         [&] { return bsd.extractpartitioninfo(vparts); }, 120},
        {"medium error: copy from the disk", "",
         [&] { return copyresult(smed + "/big", sfull + "/../copy"); }, 120},
        {"dm error: mkfs ext4", "", [&] { return fs.mkfs(serr, "ext4"); }, 120},
        {"dm error: mount", "", [&] { return fs.mount(serr, sflip, "ext4", {}); }, 60},
        {"dm error: pvcreate", "", [&] { return lvm.pvcreate(serr); }, 120},
        {"full filesystem: copy", "", [&] { return copyresult(sbig, sfull + "/copy"); }, 120},
        {"full filesystem: archive create", "",
         [&] { return arch.creategziparchive(dir / "list"); }, 300},
        {"mkfs killed", "",
         [&] { return killing("mkfs.ext4", [&] { return fs.mkfs("/dev/" + shd, "ext4"); }); }, 300},
        {"parted killed", "",
         [&] { return killing("parted", [&] { return bhd.setlabel("gpt"); }); }, 300},
        {"tar killed", "",
         [&] { return killing("tar", [&] { return arch.creategziparchive(dir / "list2"); }); },
         300},
        {"dm error under a mounted filesystem: copy", sflipping,
         [&] { return copyresult(sbig, sflip + "/copy"); }, 120},
        {"disk deleted: partition listing",
         medium("0") + " && umount -l " + smed + " && echo 1 >/sys/block/" + ssd +
             "/device/delete &&",
         [&] { return bsd.extractpartitioninfo(vparts); }, 120},
        {"disk deleted: mkfs", "", [&] { return fs.mkfs("/dev/" + ssd, "ext4"); }, 120},
    });
    // A failed copy leaves no destination that looks whole, a failed archive none that reads.
    for (const std::string& s : {sfull + "/copy", dir / "copy"})
        EXPECT_NE(velka_test::sh("test \"$(stat -c %s " + s + ")\" -ge 8388608"), 0) << s;
    for (const std::string& s : {sfull + "/a.tar.gz", dir / "k.tar.gz"})
        EXPECT_NE(velka_test::sh("gzip -t " + s), 0) << s;
    close(ifd);
    velka_test::sh("umount " + sfull + " " + sflip +
                   "; dmsetup remove velkaerr; dmsetup remove velkaflip");
}
