// SMART health without a disk: smartctl replaced by a fake that replays captured outputs
// (tests/fixtures/smartctl: the lab's emulated SATA, SCSI and SAS disks, this host's virtio
// disk, a failing disk and hand-made malformed tables), read through the real operations.
#include <list>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/smartctl>
#include <velka/utilities>

#include "logcapture.h"
#include "velka_test.h"

using velka::smartctl::param;
using velka::smartctl::smartctl;
using velka_test::fake_tools;
using velka_test::logcapture;

namespace {

// A fake smartctl printing {base}-H.out for -H and {base}-A.out for -A.
void fakesmartctl(fake_tools& fakes, const std::string& sbase) {
    std::string sdir = velka_test::fixture("smartctl/");
    fakes.add_script("smartctl",
                     "case \"$1\" in\n"
                     "-H) cat '" +
                         sdir + sbase +
                         "-H.out' ;;\n"
                         "-A) cat '" +
                         sdir + sbase +
                         "-A.out' ;;\n"
                         "esac\nexit 0\n");
}

template <typename C>
std::vector<unsigned int> ids(const C& l) {
    std::vector<unsigned int> v;
    for (const auto& p : l) v.push_back(p.get_id());
    return v;
}

std::list<std::string> lines(const std::string& sfixture) {
    std::list<std::string> l;
    std::istringstream in(velka_test::slurp(velka_test::fixture(sfixture)));
    std::string s;
    while (std::getline(in, s)) l.push_back(s);
    return l;
}

void collect(param& p, void* arg) {
    static_cast<std::vector<param>*>(arg)->push_back(p);
}

struct diskcase {
    const char* sbase;
    bool boverall;
    bool battrs;
    size_t uiattrs;
    std::vector<unsigned int> vfaulty;
};

}  // namespace

TEST(Unit_Smartctl, VerdictsAndFaultyAttributesOfEachCapturedDisk) {
    const std::vector<diskcase> cases = {
        {"qemu-sata", true, true, 7, {}},         // ATA: PASSED and a table
        {"qemu-scsi-hd", true, true, 0, {}},      // SCSI: "SMART Health Status: OK", no table
        {"qemu-sas", true, true, 0, {}},          // SAS end device: the same
        {"virtio-no-smart", false, true, 0, {}},  // "Unable to detect device type"
        {"failing", false, false, 20, {5, 10}},   // FAILED!, value at or below threshold
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sbase);
        fake_tools fakes;
        fakesmartctl(fakes, c.sbase);
        smartctl disk("/dev/sdb", nullptr);
        EXPECT_FALSE(disk.getoverallhealth());
        EXPECT_TRUE(disk.attrhealthy());
        EXPECT_EQ(disk.extractoverallhealth(), 0);
        EXPECT_EQ(disk.extractparams(), 0);
        EXPECT_EQ(disk.getoverallhealth(), c.boverall);
        EXPECT_EQ(disk.attrhealthy(), c.battrs);
        std::vector<param> vall;
        disk.for_each_attr(collect, &vall);
        EXPECT_EQ(vall.size(), c.uiattrs);
        std::list<param> lfaulty{param()};
        EXPECT_EQ(disk.getfaultyattrs(lfaulty), 0);
        EXPECT_EQ(ids(lfaulty), c.vfaulty);
        // The lambda and by-value forms see the same attributes as the pointer forms.
        std::vector<param> vlambda, vfaulty = disk.getfaultyattrs();
        disk.for_each_attr([&vlambda](param& p) { vlambda.push_back(p); });
        EXPECT_EQ(ids(vlambda), ids(vall));
        EXPECT_EQ(ids(disk.getattrs()), ids(vall));
        EXPECT_EQ(ids(vfaulty), c.vfaulty);
        EXPECT_EQ(fakes.argvs(),
                  (std::vector<std::vector<std::string>>{{"-H", "/dev/sdb"}, {"-A", "/dev/sdb"}}));
    }
}

TEST(Unit_Smartctl, ColumnsOfTheFailingDisk) {
    smartctl disk("/dev/sda", nullptr);
    disk.parseparams(lines("smartctl/failing-A.out"));
    std::map<unsigned int, param> m;
    std::vector<param> v;
    disk.for_each_attr(collect, &v);
    for (const auto& p : v) m[p.get_id()] = p;
    ASSERT_EQ(m.size(), 20u);
    // The ids come in ascending order.
    for (size_t i = 1; i < v.size(); ++i) EXPECT_LT(v[i - 1].get_id(), v[i].get_id());

    const param& realloc = m[5];
    EXPECT_EQ(realloc.get_attrname(), "Reallocated_Sector_Ct");
    EXPECT_EQ(realloc.get_flag(), 0x33u);
    EXPECT_EQ(realloc.get_value(), 1u);
    EXPECT_EQ(realloc.get_worst(), 1u);
    EXPECT_EQ(realloc.get_threshold(), 36u);
    EXPECT_EQ(realloc.get_failtype(), velka::smartctl::e_prefailure);
    EXPECT_TRUE(realloc.get_failed());
    EXPECT_EQ(realloc.get_rawval(), 4088u);
    EXPECT_FALSE(realloc.is_healthy());
    // Equal to its threshold: unhealthy; In_the_past is a failure too.
    EXPECT_FALSE(m[10].is_healthy());
    EXPECT_TRUE(m[10].get_failed());
    // Below-threshold worst values and WHEN_FAILED play no part in the health.
    EXPECT_TRUE(m[190].is_healthy());
    EXPECT_EQ(m[190].get_rawval(), 36u);
    EXPECT_EQ(m[190].get_failtype(), velka::smartctl::e_oldage);
    EXPECT_EQ(m[9].get_rawval(), 42318u);
    EXPECT_EQ(m[188].get_rawval(), 4295032833ull);
    EXPECT_EQ(m[240].get_rawval(), 40211u);
    EXPECT_EQ(m[242].get_rawval(), 281474976710655ull);
    EXPECT_EQ(m[1].get_flag(), 0x0fu);
    EXPECT_FALSE(m[1].get_failed());
}

TEST(Unit_Smartctl, TheSataDiskOfTheLab) {
    smartctl disk("/dev/sda", nullptr);
    disk.parseparams(lines("smartctl/qemu-sata-A.out"));
    std::vector<param> v;
    disk.for_each_attr(collect, &v);
    ASSERT_EQ(v.size(), 7u);
    EXPECT_EQ(v[3].get_id(), 5u);
    EXPECT_EQ(v[3].get_threshold(), 36u);
    EXPECT_EQ(v[6].get_attrname(), "Airflow_Temperature_Cel");
    EXPECT_EQ(v[6].get_value(), 69u);
    EXPECT_EQ(v[6].get_rawval(), 31u);
}

TEST(Unit_Smartctl, MalformedRowsAreSkippedWhole) {
    smartctl disk("/dev/sda", nullptr);
    disk.parseparams(lines("smartctl/malformed-A.out"));
    std::map<unsigned int, param> m;
    std::vector<param> v;
    disk.for_each_attr(collect, &v);
    for (const auto& p : v) m[p.get_id()] = p;
    std::vector<unsigned int> vids;
    for (const auto& p : v) vids.push_back(p.get_id());
    // Skipped: the row before the header, a short row, a non-numeric value, a bad flag,
    // a value and a raw value beyond their types, a negative id.
    EXPECT_EQ(vids, (std::vector<unsigned int>{1, 9, 10, 11, 12, 15, 4294967295u}));
    // The later row of id 1 replaced the earlier one and is unhealthy (6 = 6).
    EXPECT_EQ(m[1].get_value(), 6u);
    EXPECT_EQ(m[1].get_rawval(), 5u);
    EXPECT_FALSE(disk.attrhealthy());
    // An unknown TYPE word stores failure type 0; nothing carries over from earlier rows.
    EXPECT_EQ(static_cast<int>(m[9].get_failtype()), 0);
    EXPECT_EQ(m[9].get_rawval(), 13426u);
    EXPECT_TRUE(m[10].is_healthy());
    EXPECT_EQ(m[10].get_attrname(), "Spin_Retry_Count");  // tab-separated columns
    EXPECT_EQ(m[11].get_rawval(), 1234u);
    EXPECT_EQ(m[12].get_rawval(), 0u);  // a raw value without digits
    EXPECT_EQ(m[15].get_rawval(), 18446744073709551615ull);
    EXPECT_EQ(m[4294967295u].get_flag(), 0xffffffffu);
    EXPECT_TRUE(m[4294967295u].is_healthy());
}

TEST(Unit_Smartctl, OverallVerdictLines) {
    struct verdict {
        std::list<std::string> l;
        bool b;
    };
    const std::vector<verdict> cases = {
        {{"SMART overall-health self-assessment test result: PASSED"}, true},
        {{"SMART Health Status: OK"}, true},
        {{"SMART overall-health self-assessment test result: FAILED!"}, false},
        {{"SMART overall-health self-assessment test result PASSED"}, false},  // no ':'
        {{"SMART Health Status:"}, false},
        {{"SMART Health Status: ok"}, false},
        {{"Status: PASSED"}, false},
        {{}, false},
    };
    for (const auto& c : cases) {
        smartctl disk("/dev/sda", nullptr);
        disk.parseoverallhealth(c.l);
        EXPECT_EQ(disk.getoverallhealth(), c.b) << (c.l.empty() ? "" : c.l.front());
    }
    smartctl edges("/dev/sda", nullptr);
    edges.parseoverallhealth(lines("smartctl/verdict-edges-H.out"));
    EXPECT_TRUE(edges.getoverallhealth());
    // A later bad verdict never turns a good one back.
    edges.parseoverallhealth(lines("smartctl/failing-H.out"));
    EXPECT_TRUE(edges.getoverallhealth());
}

TEST(Unit_Smartctl, RepeatedReadingsAccumulate) {
    smartctl disk("/dev/sda", nullptr);
    disk.parseparams(lines("smartctl/qemu-sata-A.out"));
    EXPECT_TRUE(disk.attrhealthy());
    disk.parseparams(lines("smartctl/failing-A.out"));
    EXPECT_FALSE(disk.attrhealthy());
    disk.parseparams(lines("smartctl/qemu-sata-A.out"));
    EXPECT_FALSE(disk.attrhealthy());  // one unhealthy reading is kept for good
    std::list<param> lfaulty;
    disk.getfaultyattrs(lfaulty);
    // Id 5 was refreshed by the healthy reading; id 10 was seen only in the failing one.
    EXPECT_EQ(ids(lfaulty), (std::vector<unsigned int>{10}));
    std::vector<param> v;
    disk.for_each_attr(collect, &v);
    EXPECT_EQ(v.size(), 20u);  // the lab disk's ids are all in the failing table
}

TEST(Unit_Smartctl, NoHeaderNoAttributes) {
    smartctl disk("/dev/sda", nullptr);
    disk.parseparams(
        {"  5 Reallocated_Sector_Ct   0x0033   100   100   010    Pre-fail  "
         "Always       -       0"});
    std::list<param> l{param()};
    EXPECT_EQ(disk.getfaultyattrs(l), 0);
    EXPECT_TRUE(l.empty());
    EXPECT_TRUE(disk.attrhealthy());
    std::vector<param> v;
    disk.for_each_attr(collect, &v);
    EXPECT_TRUE(v.empty());
}

TEST(Unit_Smartctl, DeviceValuesReachTheToolAsOneArgumentOrAreRefused) {
    fake_tools fakes;
    fakesmartctl(fakes, "qemu-sata");
    logcapture log;
    smartctl hostile("/dev/disk/by-id/ata QEMU;$(id)'x", log.src());
    EXPECT_EQ(hostile.extractoverallhealth(), 0);
    EXPECT_EQ(hostile.extractparams(), 0);
    EXPECT_TRUE(hostile.getoverallhealth());

    smartctl option("-d ata /dev/sda", log.src());
    EXPECT_EQ(option.extractoverallhealth(), -1);
    EXPECT_EQ(option.extractparams(), -1);
    EXPECT_FALSE(option.getoverallhealth());
    EXPECT_EQ(fakes.argvs(),
              (std::vector<std::vector<std::string>>{{"-H", "/dev/disk/by-id/ata QEMU;$(id)'x"},
                                                     {"-A", "/dev/disk/by-id/ata QEMU;$(id)'x"}}));
    EXPECT_TRUE(
        log.has("smartctl::smartctl::extractoverallhealth( )  Device -d ata "
                "/dev/sda refused: value begins with '-'"));
    EXPECT_TRUE(
        log.has("smartctl::smartctl::extractparams( )  Device -d ata /dev/sda "
                "refused: value begins with '-'"));
}

TEST(Unit_Smartctl, ParamCopiesAndHealthRule) {
    param p;
    EXPECT_EQ(p.get_attrname(), "");
    p.set_id(194);
    p.set_name("Temperature_Celsius");
    p.set_value(10);
    p.set_threshold(10);
    p.set_failuretype(velka::smartctl::e_oldage);
    p.set_failed(true);
    p.update_health();
    EXPECT_FALSE(p.is_healthy());
    p.set_value(11);
    p.update_health();
    EXPECT_TRUE(p.is_healthy());  // WHEN_FAILED plays no part
    param c(p);
    param a;
    a = p;
    for (const param* x : {&c, &a}) {
        EXPECT_EQ(x->get_id(), 194u);
        EXPECT_EQ(x->get_attrname(), "Temperature_Celsius");
        EXPECT_TRUE(x->get_failed());
        EXPECT_TRUE(x->is_healthy());
    }
}

// Every output named {origin}__... (captured on other machines, one written by hand for the
// forms none of them shows): each row of the attribute table found by a regular expression
// built from the table's own header, its columns against the record read and its health by
// smartctl's rule (a threshold of 0 or "---" never fails); the verdict against the verdict line.
TEST(Unit_Smartctl, EveryOutputOfOtherMachines) {
    std::map<std::string, std::string> mcolumn;  // the pattern of each column but ID#
    mcolumn["FLAG"] = mcolumn["FLAGS"] = "(0x[0-9a-f]{4}|[-POSRCKM]{6}\\+?)";
    mcolumn["VALUE"] = mcolumn["WORST"] = mcolumn["THRESH"] = "(\\d{3}|---)";
    mcolumn["ATTRIBUTE_NAME"] = "(\\S+(?: \\S+)*?)", mcolumn["RAW_VALUE"] = "(\\S.*)";
    mcolumn["TYPE"] = "(Pre-fail|Old_age)", mcolumn["UPDATED"] = "(Always|Offline)";
    mcolumn["WHEN_FAILED"] = "(-|FAILING_NOW|In_the_past)", mcolumn["FAIL"] = "(-|NOW|Past)";
    const std::regex rverdict(
        "(overall-health self-assessment test result|Health Status): *(\\S*)");
    std::list<std::string> lfiles;
    velka::utilities::utilities::readdir(velka_test::fixture("smartctl"), lfiles);
    std::map<size_t, size_t> mrows;  // by the number of columns
    std::map<std::string, size_t> mverdicts;
    for (const auto& sfile : lfiles) {
        if (sfile.find("__") == std::string::npos) continue;
        SCOPED_TRACE(sfile);
        std::list<std::string> llines = lines("smartctl/" + sfile);
        for (auto& s : llines) s = velka::utilities::utilities::trim(s);  // as popen gives them
        smartctl disk("/dev/sda", nullptr);
        disk.parseoverallhealth(llines);
        disk.parseparams(llines);
        std::vector<std::string> vheader;
        std::regex rrow;
        std::string sverdict;
        std::map<unsigned int, std::map<std::string, std::string>> mexpect;  // later rows win
        for (const auto& sline : llines) {
            std::smatch m;
            if (sverdict.empty() && std::regex_search(sline, m, rverdict)) sverdict = m[2];
            if (vheader.empty() && sline.find("ID#") != std::string::npos) {
                std::istringstream in(sline);
                std::string sword, sre = "(\\d+)";
                while (in >> sword) vheader.push_back(sword);
                for (size_t i = 1; i < vheader.size(); ++i) sre += " +" + mcolumn.at(vheader[i]);
                rrow = std::regex(sre);
            } else if (!vheader.empty() && std::regex_match(sline, m, rrow)) {
                ++mrows[vheader.size()];
                for (size_t i = 0; i < vheader.size(); ++i)
                    mexpect[std::stoul(m[1])][vheader[i]] = m[i + 1];
            }
        }
        ++mverdicts[sverdict];
        EXPECT_EQ(disk.hasoverallverdict(), !sverdict.empty());
        EXPECT_EQ(disk.getoverallhealth(), sverdict == "PASSED" || sverdict == "OK");
        std::vector<param> vattrs;
        disk.for_each_attr(collect, &vattrs);
        EXPECT_EQ(vattrs.size(), mexpect.size());
        if (vattrs.size() != mexpect.size()) continue;
        bool bhealthy = true;
        for (const auto& p : vattrs) {
            auto& c = mexpect[p.get_id()];
            SCOPED_TRACE(c["ATTRIBUTE_NAME"]);
            auto num = [](const std::string& s) { return s == "---" ? 0u : std::stoul(s); };
            EXPECT_EQ(p.get_attrname(), c["ATTRIBUTE_NAME"]);
            EXPECT_EQ(p.get_value(), num(c["VALUE"]));
            EXPECT_EQ(p.get_worst(), num(c["WORST"]));
            EXPECT_EQ(p.get_threshold(), num(c["THRESH"]));
            std::string sflags = c["FLAG"] + c["FLAGS"], sraw = c["RAW_VALUE"];
            unsigned long uiflags = 0;  // P O S R C K, one bit each
            for (size_t i = 0; i < 6 && sflags[0] != '0'; ++i) uiflags |= (sflags[i] != '-') << i;
            EXPECT_EQ(p.get_flag(), sflags[0] == '0' ? std::stoul(sflags, nullptr, 16) : uiflags);
            bool bprefail = c.count("TYPE") ? c["TYPE"] == "Pre-fail" : sflags[0] == 'P';
            EXPECT_EQ(p.get_failtype(),
                      bprefail ? velka::smartctl::e_prefailure : velka::smartctl::e_oldage);
            EXPECT_EQ(p.get_failed(), c["FAIL"] + c["WHEN_FAILED"] != "-");
            unsigned long long ullraw = sraw.compare(0, 2, "0x") == 0
                                            ? std::stoull(sraw, nullptr, 16)
                                        : isdigit(sraw[0]) ? std::stoull(sraw)
                                                           : 0;
            EXPECT_EQ(p.get_rawval(), ullraw) << sraw;
            EXPECT_EQ(p.is_healthy(), p.get_threshold() == 0 || p.get_value() > p.get_threshold());
            bhealthy = bhealthy && p.is_healthy();
        }
        EXPECT_EQ(disk.attrhealthy(), bhealthy);
    }
    // Rows per layout of the table (8 columns: -f brief; 9: smartctl 5.1x) and outputs per
    // verdict, so that no format goes unread.
    EXPECT_EQ(mrows, (std::map<size_t, size_t>{{8, 93}, {9, 177}, {10, 621}}));
    EXPECT_EQ(mverdicts,
              (std::map<std::string, size_t>{{"", 23}, {"FAILED!", 7}, {"OK", 2}, {"PASSED", 51}}));
}
