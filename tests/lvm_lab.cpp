// lab-args: --no-udev
// lab-args: --disk scsi-hd:size=512M,serial=VELKALVM01
// lab-args: --disk scsi-hd:size=512M,serial=VELKALVM02
// lab-args: --disk scsi-hd:size=512M,serial=VELKALVM03
//
// The whole life of two volume groups on real disks with device-mapper and dm-thin, checked
// after each step against what vgs, lvs and pvs report: physical volumes, groups of extent
// size 32 MB (two disks) and 4 MB (one disk), linear volumes, a thin pool and thin volumes,
// the snapshot reserve, the refusals that run nothing, scans, activation with the udev
// handler thread, deactivation and removal. A thin volume is formatted and mounted. No udev
// daemon runs, so the udev database entries are the library's own: each must equal what
// udevadm reports for its node. A disk under an active thin pool, or its mounted volume, is
// refused by every call that would destroy what is on it; a scsi_debug CD/DVD drive is not a
// managed disk.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <functional>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/blkdev>
#include <velka/fs>
#include <velka/lvm>
#include <velka/utilities>

#include "logcapture.h"
#include "velka_test.h"

using velka::utilities::utilities;

namespace {

const char* const s_vga = "velkaa";  // 32 MB extents on two disks
const char* const s_vgb = "velkab";  // 4 MB extents on one disk

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

// The output lines of a report command (blanks trimmed, empty lines dropped).
std::vector<std::string> report(const std::string& scmd) {
    std::string sout, serr;
    EXPECT_EQ(utilities::system(scmd, sout, serr), 0) << scmd << ": " << serr;
    std::vector<std::string> l;
    std::string sline;
    for (char c : sout + "\n") {
        if (c != '\n') {
            sline += c;
            continue;
        }
        sline = utilities::trim(sline);
        if (!sline.empty()) l.push_back(sline);
        sline.clear();
    }
    return l;
}

std::vector<std::string> fields(const std::string& sline) {
    std::vector<std::string> v;
    std::string s;
    for (char c : sline + "|") {
        if (c == '|') {
            v.push_back(utilities::trim(s));
            s.clear();
        } else {
            s += c;
        }
    }
    return v;
}

struct vgfacts {
    bool bfound = false;
    std::string sextentsize;
    unsigned long long ulltotal = 0, ullfree = 0;
};

vgfacts vgs(const std::string& svg) {
    vgfacts f;
    for (const auto& s :
         report("vgs --noheadings --nosuffix --units m --separator '|' -o "
                "vg_name,vg_extent_size,vg_extent_count,vg_free_count 2>/dev/null")) {
        auto v = fields(s);
        if (v.size() != 4 || v[0] != svg) continue;
        f.bfound = true;
        f.sextentsize = v[1];
        f.ulltotal = utilities::strtoul(v[2]);
        f.ullfree = utilities::strtoul(v[3]);
    }
    return f;
}

struct lvfacts {
    std::string ssegtype;
    unsigned long long ullextents;
    bool bactive;
};

// Every volume of the group, hidden ones in brackets.
std::map<std::string, lvfacts> lvs(const std::string& svg) {
    std::map<std::string, lvfacts> m;
    for (const auto& s : report("lvs -a --noheadings --separator '|' -o "
                                "lv_name,segtype,seg_size_pe,lv_active " +
                                svg + " 2>/dev/null")) {
        auto v = fields(s);
        if (v.size() != 4) continue;
        m[v[0]] = lvfacts{v[1], utilities::strtoul(v[2]), v[3] == "active"};
    }
    return m;
}

std::map<std::string, std::string> pvs() {
    std::map<std::string, std::string> m;
    for (const auto& s :
         report("pvs --noheadings --separator '|' -o pv_name,vg_name 2>/dev/null")) {
        auto v = fields(s);
        if (v.size() == 2) m[v[0]] = v[1];
    }
    return m;
}

size_t threadcount() {
    std::list<std::string> l;
    utilities::readdir("/proc/self/task", l);
    return l.size();
}

// What udevadm reports for a node, as the entry file holds it.
std::string udevproperties(const std::string& snode) {
    std::string s;
    for (const auto& sline :
         report("udevadm info --query=property --name " + utilities::shellquote(snode)))
        s += "E:" + sline + "\n";
    return s;
}

std::string entrypath(const std::string& snode) {
    struct stat st;
    if (stat(snode.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "";
    return "/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" +
           std::to_string(minor(st.st_rdev));
}

// The nodes of a group under /dev/mapper (its hidden volumes included).
std::vector<std::string> mappernodes(const std::string& svg) {
    std::list<std::string> l;
    utilities::readdir("/dev/mapper", l);
    std::vector<std::string> v;
    for (const auto& s : l)
        if (s.compare(0, svg.size() + 1, svg + "-") == 0) v.push_back("/dev/mapper/" + s);
    return v;
}

// The handler thread has been joined when an activation returns; the kernel may list the
// ended thread a moment longer, until it has reaped it.
bool backto(size_t ubase) {
    for (int i = 0; i < 200 && threadcount() != ubase; ++i) utilities::millisleep(50);
    return threadcount() == ubase;
}

// No scan runs any more: entries removed now are not written again within three of the
// handler's scan intervals.
bool noscanafter(const std::string& svg) {
    std::string sout, serr;
    utilities::system("rm -f /run/udev/data/b*", sout, serr);
    utilities::millisleep(1500);
    for (const auto& s : mappernodes(svg))
        if (utilities::isfile(entrypath(s))) return false;
    return true;
}

void expectentry(const std::string& snode) {
    SCOPED_TRACE(snode);
    std::string sentry = entrypath(snode);
    ASSERT_FALSE(sentry.empty());
    std::string scontent = velka_test::slurp(sentry);
    EXPECT_NE(scontent.find("DEVNAME="), std::string::npos);
    EXPECT_EQ(scontent, udevproperties(snode));
}

// Removes whatever the scenario left, however it ended.
struct cleanup {
    std::vector<std::string> ldisks;
    std::string smnt;
    ~cleanup() {
        std::string sout, serr;
        if (!smnt.empty()) utilities::system("umount " + smnt + " 2>/dev/null", sout, serr);
        utilities::system(std::string("vgremove -ff ") + s_vga + " " + s_vgb + " 2>/dev/null", sout,
                          serr);
        for (const auto& s : ldisks) utilities::system("pvremove -ff -y " + s, sout, serr);
    }
};

// One group as the tools see it against the object's count: the free extents the tools report
// are the object's free count plus the snapshot reserve (bookkeeping only); the thin pool's
// metadata is counted since the object read the group's counts after the pool.
struct tracker {
    tracker(const std::string& s, velka::lvm::lvm* p) : svg(s), pmgr(p) {}
    std::string svg;
    velka::lvm::lvm* pmgr;
    unsigned long long ullsnapshot = 0;
    std::map<std::string, std::pair<std::string, unsigned long long>> lwant;  // visible volumes
    // vgs free and allocated after each creation, with the snapshot reserve.
    std::vector<std::vector<unsigned long long>> lsteps;

    void check(const std::string& sstep) {
        SCOPED_TRACE(svg + " after " + sstep);
        vgfacts f = vgs(svg);
        ASSERT_TRUE(f.bfound);
        auto m = lvs(svg);
        EXPECT_EQ(f.ullfree, pmgr->getfreeextents() + ullsnapshot);
        std::map<std::string, std::pair<std::string, unsigned long long>> lhave;
        for (const auto& e : m)
            if (e.first[0] != '[')
                lhave[e.first] = std::make_pair(e.second.ssegtype, e.second.ullextents);
        EXPECT_EQ(lhave, lwant);
    }
    void created(const std::string& sstep) {
        check(sstep);
        vgfacts f = vgs(svg);
        lsteps.push_back({f.ullfree, f.ulltotal - f.ullfree, ullsnapshot});
    }
};

// The counts of the object's "Successfully created ..." lines, in order: free, allocated.
std::vector<std::pair<unsigned long long, unsigned long long>> loggedcounts(
    velka_test::logcapture& log) {
    std::vector<std::pair<unsigned long long, unsigned long long>> l;
    const std::string sfree = " number of free extents ", salloc = " number of allocated extents ";
    for (const auto& s : log.messages()) {
        size_t pfree = s.find(sfree), palloc = s.find(salloc);
        if (s.find("Successfully created") == std::string::npos || pfree == std::string::npos ||
            palloc == std::string::npos)
            continue;
        l.emplace_back(utilities::strtoul(s.substr(pfree + sfree.size())),
                       utilities::strtoul(s.substr(palloc + salloc.size())));
    }
    return l;
}

}  // namespace

TEST(Lab_Lvm, LifeCycleCheckedAgainstTheTools) {
    std::string d1 = diskbyserial("VELKALVM01"), d2 = diskbyserial("VELKALVM02"),
                d3 = diskbyserial("VELKALVM03");
    ASSERT_FALSE(d1.empty() || d2.empty() || d3.empty()) << "the lab was started without the disks";
    cleanup guard;
    guard.ldisks = {d1, d2, d3};

    // ---- Group A: 32 MB extents on two disks ----
    velka_test::logcapture loga;
    velka::lvm::lvm a(std::list<std::string>{d1, d2}, loga.src());
    tracker ta(s_vga, &a);
    ASSERT_EQ(a.vgcreate(s_vga, 32), 0);
    vgfacts fa = vgs(s_vga);
    ASSERT_TRUE(fa.bfound);
    EXPECT_EQ(fa.sextentsize, "32.00");
    EXPECT_EQ(a.getfreeextents(), fa.ulltotal);  // the new group's free count is its total
    EXPECT_EQ(a.getfreeextents(), fa.ullfree);
    EXPECT_GT(fa.ulltotal, 20u);
    ta.check("vgcreate");
    auto lpvs = pvs();
    EXPECT_EQ(lpvs[d1], s_vga);
    EXPECT_EQ(lpvs[d2], s_vga);
    std::string svg;
    EXPECT_EQ(a.pv_get_vgname(d1, svg), 0);
    EXPECT_EQ(svg, s_vga);
    svg = "untouched";
    EXPECT_EQ(a.pv_get_vgname(d3, svg), -1);  // not a physical volume yet
    EXPECT_EQ(svg, "untouched");

    ASSERT_EQ(a.lvcreate("vol1", 2), 0);
    ta.lwant["vol1"] = {"linear", 2};
    ta.created("lvcreate vol1");
    expectentry("/dev/" + std::string(s_vga) + "/vol1");

    // 5 % of the total, bookkeeping only; a second reserve changes nothing.
    unsigned long long ullfree = a.getfreeextents();
    ASSERT_EQ(a.reserve_for_snapshot(), 0);
    ta.ullsnapshot = static_cast<unsigned long long>(fa.ulltotal * 5.0 / 100.0);
    EXPECT_EQ(a.getfreeextents(), ullfree - ta.ullsnapshot);
    EXPECT_EQ(a.reserve_for_snapshot(), 0);
    ta.check("reserve_for_snapshot");

    // The pool reserve of 32 MB extents is 8.
    ASSERT_EQ(a.lvpoolcreate("pool", 20), 0);
    ta.lwant["pool"] = {"thin-pool", 12};
    ta.created("lvpoolcreate");
    expectentry("/dev/" + std::string(s_vga) + "/pool");  // the pool's node is read-only
    ASSERT_EQ(a.thinlvcreate("pool", "thin1", 3), 0);
    ta.lwant["thin1"] = {"thin", 3};  // 96M
    ta.created("thinlvcreate thin1");
    std::string sthin = "/dev/" + std::string(s_vga) + "/thin1";
    expectentry(sthin);
    unsigned long long ullthin2 = a.getfreeextents();
    ASSERT_EQ(a.thinlvcreate("pool", "thin2", 0), 0);
    ta.lwant["thin2"] = {"thin", ullthin2};
    ta.created("thinlvcreate thin2");

    // The thin volume is usable: a filesystem is made, mounted, written and unmounted.
    {
        velka::fs::fs fs(nullptr);
        velka_test::tempdir dir;
        ASSERT_EQ(fs.mkfs(sthin, "ext4"), 0);
        EXPECT_EQ(fs.getfstype(sthin), "ext4");
        std::list<std::string> lopts{"rw"};
        ASSERT_EQ(fs.mount(sthin, dir.path(), "ext4", lopts), 0);
        guard.smnt = dir.path();
        velka_test::spew(dir / "file", "thin data\n");
        EXPECT_EQ(velka_test::slurp(dir / "file"), "thin data\n");
        EXPECT_EQ(fs.umount(dir.path()), 0);
        guard.smnt.clear();
    }

    // 0 = all free extents: the counts were read from the group after the pool, so its
    // metadata is counted; only the snapshot reserve stays free.
    unsigned long long ullrest = a.getfreeextents();
    ASSERT_EQ(a.lvcreate("rest", 0), 0);
    ta.lwant["rest"] = {"linear", ullrest};
    ta.created("lvcreate rest");
    EXPECT_EQ(vgs(s_vga).ullfree, ta.ullsnapshot);

    // Every creation logged the object's counts; the tools agree with each.
    auto lcounts = loggedcounts(loga);  // the capture ends here
    ASSERT_EQ(lcounts.size(), ta.lsteps.size());
    for (size_t i = 0; i < lcounts.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& s = ta.lsteps[i];  // vgs free, vgs allocated, snapshot reserve
        EXPECT_EQ(lcounts[i].first + s[2], s[0]);
        EXPECT_EQ(lcounts[i].second, s[1] + s[2]);
    }

    // ---- Group B: 4 MB extents on one disk; refusals run nothing ----
    {
        velka_test::logcapture logb;
        velka::lvm::lvm b(std::list<std::string>{d3}, logb.src());
        tracker tb(s_vgb, &b);
        ASSERT_EQ(b.vgcreate(s_vgb, 4), 0);
        vgfacts fb = vgs(s_vgb);
        EXPECT_EQ(fb.sextentsize, "4.00");
        EXPECT_EQ(b.getfreeextents(), fb.ullfree);
        tb.check("vgcreate");
        EXPECT_EQ(b.lvcreate("toobig", fb.ullfree + 1), -1);
        EXPECT_EQ(b.lvpoolcreate("toobig", fb.ullfree + 1), -1);
        tb.check("refusals");
        ASSERT_EQ(b.lvcreate("all", 0), 0);
        tb.lwant["all"] = {"linear", fb.ullfree};
        EXPECT_EQ(b.getfreeextents(), 0u);
        tb.check("lvcreate all");
        EXPECT_EQ(b.reserve_for_snapshot(), -1);   // 5 % of the total, nothing free
        EXPECT_EQ(b.lvpoolcreate("late", 0), -1);  // 0 free: not more than the reserve
        EXPECT_EQ(b.lvcreate("more", 1), -1);
        tb.check("refusals when full");
        for (const auto& s : logb.messages()) {
            EXPECT_EQ(s.find("toobig will be created"), std::string::npos) << s;
            EXPECT_EQ(s.find("more will be created"), std::string::npos) << s;
        }
        EXPECT_EQ(logb.count_containing("will be created using command lvcreate"), 1u);
        EXPECT_EQ(logb.count_containing("refused"), 1u);
        EXPECT_EQ(logb.count_containing("to reserve space for snapsho maximum allowed extents: 0 "
                                        "requested extents: " +
                                        std::to_string(fb.ulltotal * 5 / 100)),
                  1u);
    }
    // The group made again from the same disk, by a new object: a thin pool.
    velka::lvm::lvm any(nullptr);
    ASSERT_EQ(any.removevg(s_vgb), 0);
    velka_test::logcapture logb;
    velka::lvm::lvm b(std::list<std::string>{d3}, logb.src());
    tracker tb(s_vgb, &b);
    ASSERT_EQ(b.vgcreate(s_vgb, 4), 0);
    tb.check("vgcreate again");
    EXPECT_EQ(b.lvpoolcreate("small", 64), -1);  // the reserve of 4 MB extents is 64
    tb.check("refused pool");
    ASSERT_EQ(b.lvpoolcreate("pool", 100), 0);
    tb.lwant["pool"] = {"thin-pool", 36};
    tb.check("lvpoolcreate");
    ASSERT_EQ(b.thinlvcreate("pool", "thin", 10), 0);  // 40M
    tb.lwant["thin"] = {"thin", 10};
    tb.check("thinlvcreate");
    ullrest = b.getfreeextents();
    ASSERT_EQ(b.lvcreate("rest", 0), 0);  // every free extent: the group is full
    tb.lwant["rest"] = {"linear", ullrest};
    tb.check("lvcreate rest");
    EXPECT_EQ(vgs(s_vgb).ullfree, 0u);
    EXPECT_EQ(logb.count_containing("refused"), 1u);
    EXPECT_EQ(logb.count_containing("lvcreate -y -V 40M -T velkab/pool -n thin"), 1u);

    // ---- Scans ----
    std::list<std::string> lgroups;
    ASSERT_EQ(any.scanvg(lgroups), 0);
    std::vector<std::string> lvgsnames = report("vgs --noheadings -o vg_name");
    EXPECT_EQ(std::set<std::string>(lgroups.begin(), lgroups.end()),
              std::set<std::string>(lvgsnames.begin(), lvgsnames.end()));
    std::list<std::string> lpaths;
    EXPECT_EQ(any.scanlv(s_vga, lpaths), 0);
    std::vector<std::string> lvspaths = report(std::string("lvs --noheadings -o lv_path ") + s_vga);
    EXPECT_EQ(std::set<std::string>(lpaths.begin(), lpaths.end()),
              std::set<std::string>(lvspaths.begin(), lvspaths.end()));
    for (const auto& s : lpaths) expectentry(s);
    lpvs = pvs();
    for (const auto& d : {d1, d2, d3}) {
        svg.clear();
        EXPECT_EQ(any.pv_get_vgname(d, svg), 0);
        EXPECT_EQ(svg, lpvs[d]) << d;
    }

    // ---- Deactivation and activation with the udev handler thread ----
    size_t uthreads = threadcount();
    ASSERT_EQ(any.stopvg(s_vga), 0);
    for (const auto& e : lvs(s_vga)) EXPECT_FALSE(e.second.bactive) << e.first;
    EXPECT_TRUE(mappernodes(s_vga).empty());
    // The inactive group's name again, on one of its devices: refused, the group intact.
    {
        velka_test::logcapture logc;
        velka::lvm::lvm again(std::list<std::string>{d1}, logc.src());
        EXPECT_EQ(again.vgcreate(s_vga, 32), -1);
        EXPECT_TRUE(logc.has(velka_test::msg(
            "lvm", "lvm::vgcreate", std::string("Volume group ") + s_vga + " already exists")));
        EXPECT_EQ(vgs(s_vga).ulltotal, fa.ulltotal);
        lpvs = pvs();
        EXPECT_EQ(lpvs[d1], s_vga);
        EXPECT_EQ(lpvs[d2], s_vga);
    }
    // The group's nodes come back with new numbers: clear the database so every entry seen
    // afterwards was written by the handler thread.
    std::string sout, serr;
    ASSERT_EQ(utilities::system("rm -f /run/udev/data/b*", sout, serr), 0);
    ASSERT_EQ(any.startvg(s_vga), 0);
    EXPECT_TRUE(backto(uthreads));
    for (const auto& e : lvs(s_vga)) {
        if (e.first[0] != '[') {
            EXPECT_TRUE(e.second.bactive) << e.first;
        }
    }
    auto lnodes = mappernodes(s_vga);
    EXPECT_GE(lnodes.size(), 5u);
    for (const auto& s : lnodes) expectentry(s);
    EXPECT_TRUE(noscanafter(s_vga));

    ASSERT_EQ(any.deactivatevgs(), 0);
    for (const auto* vg : {s_vga, s_vgb})
        for (const auto& e : lvs(vg)) EXPECT_FALSE(e.second.bactive) << e.first;
    ASSERT_EQ(utilities::system("rm -f /run/udev/data/b*", sout, serr), 0);
    ASSERT_EQ(any.activatevgs(), 0);
    EXPECT_TRUE(backto(uthreads));
    for (const auto* vg : {s_vga, s_vgb}) {
        for (const auto& e : lvs(vg)) {
            if (e.first[0] != '[') {
                EXPECT_TRUE(e.second.bactive) << e.first;
            }
        }
        for (const auto& s : mappernodes(vg)) expectentry(s);
    }
    ASSERT_EQ(any.stopvg(s_vgb), 0);
    ASSERT_EQ(any.activatesinglevg(s_vgb), 0);
    EXPECT_TRUE(backto(uthreads));
    for (const auto& e : lvs(s_vgb)) {
        if (e.first[0] != '[') {
            EXPECT_TRUE(e.second.bactive) << e.first;
        }
    }
    EXPECT_EQ(any.activatesinglevg("nosuchvg"), -1);
    EXPECT_TRUE(backto(uthreads));
    ta.check("activation");
    tb.check("activation");

    // ---- Removal ----
    ASSERT_EQ(any.removevg(s_vga), 0);
    ASSERT_EQ(any.removevg(s_vgb), 0);
    EXPECT_FALSE(vgs(s_vga).bfound);
    EXPECT_FALSE(vgs(s_vgb).bfound);
    EXPECT_EQ(any.removevg(s_vga), -1);
    for (const auto& d : {d1, d2, d3}) EXPECT_EQ(any.pvremove(d), 0) << d;
    lpvs = pvs();
    for (const auto& d : {d1, d2, d3}) EXPECT_EQ(lpvs.count(d), 0u) << d;
    svg = "untouched";
    EXPECT_EQ(any.pv_get_vgname(d1, svg), -1);
    EXPECT_EQ(svg, "untouched");
}

// Every destructive call on a disk held by an active thin pool, or on the pool's mounted thin
// volume, is refused with one log line naming the user, runs nothing, and the group and the
// volume's files stay.
TEST(Lab_InUse, ADiskUnderAThinPoolIsNotTouched) {
    std::string d3 = diskbyserial("VELKALVM03");
    ASSERT_FALSE(d3.empty());
    cleanup guard;
    guard.ldisks = {d3};
    velka::lvm::lvm b(std::list<std::string>{d3}, nullptr);
    ASSERT_EQ(b.vgcreate(s_vgb, 4), 0);
    ASSERT_EQ(b.lvpoolcreate("pool", 100), 0);
    ASSERT_EQ(b.thinlvcreate("pool", "thin", 10), 0);
    const std::string sthin = "/dev/" + std::string(s_vgb) + "/thin";
    velka::fs::fs fsys(nullptr);
    ASSERT_EQ(fsys.mkfs(sthin, "ext4"), 0);
    velka_test::tempdir dir;
    ASSERT_EQ(fsys.mount(sthin, dir.path(), "ext4", {"rw"}), 0);
    guard.smnt = dir.path();
    velka_test::spew(dir / "file", "kept\n");

    velka_test::logcapture log;
    velka::blkdev::blkdev disk(d3, log.src());
    velka::fs::fs f(log.src());
    velka::lvm::lvm l(log.src()), g(std::list<std::string>{d3}, log.src());
    const std::string sheld = d3 + " is held by dm-", smounted = " is mounted on " + dir.path();
    const std::vector<std::pair<std::function<int()>, std::string>> rows = {
        {[&] { return disk.clearpartitiontable(); }, sheld},
        {[&] { return disk.setlabel("gpt"); }, sheld},
        {[&] { return disk.createpartition("1MiB", "100%", "x"); }, sheld},
        {[&] { return f.mkfs(d3, "ext4"); }, sheld},
        {[&] { return f.createswapdevice(d3); }, sheld},
        {[&] { return l.pvcreate(d3); }, sheld},
        {[&] { return l.pvremove(d3); }, sheld},
        {[&] { return g.vgcreate("velkac", 4); }, sheld},
        {[&] { return f.mkfs(sthin, "xfs"); }, sthin + smounted},
        {[&] { return f.createswapdevice(sthin); }, sthin + smounted},
    };
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].first(), -1) << i;
    auto lmessages = log.messages();
    size_t urefused = 0;
    for (const auto& s : lmessages) {
        EXPECT_EQ(s.find("using command"), std::string::npos) << s;
        if (s.find(" refused: ") == std::string::npos) continue;
        ASSERT_LT(urefused, rows.size()) << s;
        EXPECT_NE(s.find(rows[urefused++].second), std::string::npos) << s;
    }
    EXPECT_EQ(urefused, rows.size());
    EXPECT_EQ(pvs()[d3], s_vgb);
    EXPECT_EQ(velka_test::slurp(dir / "file"), "kept\n");
    EXPECT_EQ(fsys.umount(dir.path()), 0);
    guard.smnt.clear();
}

// scsi_debug with peripheral type 5 is a CD/DVD drive: the disk manager does not list it, and
// the inventory shows it among the other block devices saying why.
TEST(Lab_InUse, ACdDriveIsNotAManagedDisk) {
    std::string ssr;
    ASSERT_EQ(velka_test::sh("modprobe sr_mod 2>/dev/null; modprobe scsi_debug ptype=5 && "
                             "for i in $(seq 100); do ls /sys/block | grep -q '^sr' && break; "
                             "sleep 0.2; done; ls /sys/block | grep '^sr'",
                             &ssr),
              0);
    const std::string sdev = "/dev/" + utilities::trim(ssr);
    {
        velka::blkdev::blkdevmgr mgr(nullptr);
        velka::blkdev::blkdev rec;
        EXPECT_EQ(mgr.get_blkdev_info(sdev, velka::blkdev::e_devfs_path, rec), -1);
        EXPECT_EQ(mgr.size(), 3u);
    }
    std::string sreason;
    velka_test::sh(std::string(VELKA_BINARY_DIR) + "/tools/velka-inventory --json | python3 -c " +
                       "'import json,sys; print([o[\"not_managed_reason\"] for o in json.load(" +
                       "sys.stdin)[\"other_block_devices\"] if o[\"device\"] == \"" + sdev +
                       "\"])'",
                   &sreason);
    EXPECT_EQ(utilities::trim(sreason), "['cd/dvd drive (SCSI peripheral type 5), not a disk']");
    velka_test::sh("rmmod scsi_debug");
}
