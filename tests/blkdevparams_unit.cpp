// Decoders of the SCSI answers and of sysfs texts, without a device: the raw INQUIRY, VPD
// and READ CAPACITY(16) answers captured from five kinds of lab disk are decoded and compared
// with what sg3-utils made of the same answers (tests/fixtures/disks); hand-made pages whose
// length byte promises more than was received; scheduler lines and SCSI addresses.
#include <list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/blkdev>
#include <velka/utilities>

#include "internal/blkdev.h"

#include "velka_test.h"

using velka::blkdev::blkdevparams;
using velka::utilities::utilities;

namespace {

const char* const s_disks[] = {"scsi-VELKAVIRT01", "scsi-VELKAFLASH01", "sas-VELKASAS01",
                               "sata-VELKASATA01", "scsi_debug-18000"};

std::vector<unsigned char> bytes(const std::string& spath) {
    std::string s = velka_test::slurp(spath);
    return std::vector<unsigned char>(s.begin(), s.end());
}

// The text after "skey" on the first line of a tool's output that holds it, up to the line end.
std::string after(const std::string& stext, const std::string& skey) {
    size_t p = stext.find(skey);
    if (p == std::string::npos) return "<" + skey + " missing>";
    p += skey.size();
    return stext.substr(p, stext.find('\n', p) - p);
}

// What sg_vpd printed for the block device characteristics page, as the rate's number.
int rotationfromsgvpd(const std::string& stext) {
    if (stext.find("Non-rotating medium") != std::string::npos) return 1;
    if (stext.find("rotation rate is not reported") != std::string::npos) return 0;
    return utilities::strtoi(after(stext, "Nominal rotation rate: "));
}

}  // namespace

// Every decoded field against sg3-utils on the same raw answer.
TEST(Decoders, LabDisksAgainstSg3Utils) {
    for (const char* sdisk : s_disks) {
        SCOPED_TRACE(sdisk);
        std::string d = velka_test::fixture(std::string("disks/") + sdisk + "/");

        auto cap = bytes(d + "readcap16.bin");
        unsigned long long ullblocks = 0;
        unsigned int uiblksize = 0;
        velka::blkdev::decodecapacity(cap.data(), cap.size(), ullblocks, uiblksize);
        std::string sreadcap = velka_test::slurp(d + "sg_readcap-l.out");
        EXPECT_EQ(std::to_string(ullblocks), after(sreadcap, "Number of logical blocks="));
        EXPECT_EQ(std::to_string(uiblksize) + " bytes", after(sreadcap, "Logical block length="));

        auto inq = bytes(d + "inquiry.bin");
        std::string sinq = velka_test::slurp(d + "sg_inq.out");
        EXPECT_EQ(velka::blkdev::decodedevicetype(inq.data(), inq.size()), 0u);
        EXPECT_EQ(after(sinq, "Peripheral device type: "), "disk");

        // sg_vpd shows the serial as received; the kernel's cached page holds the same bytes.
        auto sn = bytes(d + "vpd-0x80.bin");
        std::string sserial = velka::blkdev::decodeserial(sn.data(), sn.size());
        EXPECT_EQ(sserial, after(velka_test::slurp(d + "sg_vpd-0x80.out"), "Unit serial number: "));
        EXPECT_NE(std::string(sdisk).find(utilities::trim(sserial)), std::string::npos);

        auto rot = bytes(d + "vpd-0xb1.bin");
        EXPECT_EQ(velka::blkdev::decoderotationrate(rot.data(), rot.size()),
                  rotationfromsgvpd(velka_test::slurp(d + "sg_vpd-0xb1.out")));

        auto lbp = bytes(d + "vpd-0xb2.bin");
        bool bunmap = true, bsamewrite = false;
        velka::blkdev::decodeprovisioning(lbp.data(), lbp.size(), bunmap, bsamewrite);
        std::string slbp = velka_test::slurp(d + "sg_vpd-0xb2.out");
        EXPECT_EQ(bunmap, after(slbp, "Unmap command supported (LBPU): ") == "1");
        EXPECT_EQ(bsamewrite,
                  after(slbp, "Write same (16) with unmap bit supported (LBPWS): ") == "1");

        // Supported pages: each flag set exactly when sg_vpd lists the page's abbreviation.
        auto pages = bytes(d + "vpd-0x00.bin");
        velka::scsi::vpdinfo v = velka::blkdev::decodevpdpages(pages.data(), pages.size());
        std::string spages = velka_test::slurp(d + "sg_vpd-0x00.out");
        const std::pair<const char*, bool> flags[] = {
            {"[sn]", v.m_serialnum},      {"[di]", v.m_identity},
            {"[ei]", v.m_extinquiry},     {"[mpp]", v.m_modepage},
            {"[sp]", v.m_scsiports},      {"[ai]", v.m_atainformation},
            {"[pc]", v.m_powercondition}, {"[pslu]", v.m_protocollun},
            {"[bl]", v.m_blocklimit},     {"[bdc]", v.m_blkdev},
            {"[lbpv]", v.m_provisioning},
        };
        for (const auto& f : flags)
            EXPECT_EQ(f.second, spages.find(f.first) != std::string::npos) << f.first;
        EXPECT_FALSE(v.m_ascii);
    }
}

// Page lengths are clamped to the bytes received; missing fields read as zero.
TEST(Decoders, ShortAndLyingAnswers) {
    auto m = [](const std::string& s) {
        return bytes(velka_test::fixture("disks/malformed/" + s));
    };
    auto nodata = m("vpd-0x80-length-no-data.bin"), beyond = m("vpd-0x80-length-beyond-data.bin"),
         pages = m("vpd-0x00-length-beyond-data.bin"), cap = m("readcap16-short.bin"),
         empty = m("empty.bin");
    EXPECT_EQ(velka::blkdev::decodeserial(nodata.data(), nodata.size()), "");
    EXPECT_EQ(velka::blkdev::decodeserial(beyond.data(), beyond.size()), "ABCDEF");
    velka::scsi::vpdinfo v = velka::blkdev::decodevpdpages(pages.data(), pages.size());
    EXPECT_TRUE(v.m_serialnum && v.m_blkdev && v.m_provisioning);
    EXPECT_FALSE(v.m_identity || v.m_blocklimit);
    unsigned long long ullblocks;
    unsigned int uiblksize;
    velka::blkdev::decodecapacity(cap.data(), cap.size(), ullblocks, uiblksize);
    EXPECT_EQ(ullblocks, 0x300ull + 1);  // the missing eighth byte reads as 0
    EXPECT_EQ(uiblksize, 0u);
    EXPECT_EQ(velka::blkdev::decodeserial(empty.data(), 0), "");
    EXPECT_EQ(velka::blkdev::decodedevicetype(empty.data(), 0), 0u);
    EXPECT_EQ(velka::blkdev::decoderotationrate(empty.data(), 0), 0);

    // Values of the edge cases: 1024 blocks of 512 bytes, 0x1C20 rpm, 0xC0/0x80/0x40 flags.
    const unsigned char c[12] = {0, 0, 0, 0, 0, 0, 0x03, 0xFF, 0, 0, 0x02, 0};
    velka::blkdev::decodecapacity(c, sizeof(c), ullblocks, uiblksize);
    EXPECT_EQ(ullblocks, 1024u);
    EXPECT_EQ(uiblksize, 512u);
    const unsigned char r[6] = {0, 0xB1, 0, 0x3C, 0x1C, 0x20};
    EXPECT_EQ(velka::blkdev::decoderotationrate(r, sizeof(r)), 7200);
    for (auto f : {std::make_pair(0xC0, 3), {0x80, 1}, {0x40, 2}, {0x3F, 0}}) {
        const unsigned char p[8] = {0, 0xB2, 0, 4, 0, static_cast<unsigned char>(f.first), 0, 0};
        bool bunmap, bsamewrite;
        velka::blkdev::decodeprovisioning(p, sizeof(p), bunmap, bsamewrite);
        EXPECT_EQ(bunmap * 1 + bsamewrite * 2, f.second) << f.first;
    }
    const unsigned char t[1] = {0x7F};
    EXPECT_EQ(velka::blkdev::decodedevicetype(t, 1), 0x1Fu);
}

TEST(Decoders, SchedulerLines) {
    const std::pair<const char*, const char*> rows[] = {
        {"noop deadline [cfq]", "cfq"},
        {"[none] mq-deadline", "none"},
        {"[mq-deadline] kyber bfq none", "mq-deadline"},
        {"none  [kyber]", "kyber"},
        {"[", ""},
        {"a [", ""},
        {"[x", ""},
        {"[] none", ""},
    };
    for (const auto& r : rows) {
        std::string s = "unchanged";
        EXPECT_TRUE(velka::blkdev::decodescheduler(r.first, s)) << r.first;
        EXPECT_EQ(s, r.second) << r.first;
    }
    for (const char* sline : {"", "none", "mq-deadline kyber", " x]", "a\t[b]"}) {
        std::string s = "unchanged";
        EXPECT_FALSE(velka::blkdev::decodescheduler(sline, s)) << sline;
        EXPECT_EQ(s, "unchanged");
    }
    std::string slong = "[" + std::string(200, 'x') + "]", s;
    ASSERT_TRUE(velka::blkdev::decodescheduler(slong, s));
    EXPECT_EQ(s, std::string(63, 'x'));
}

TEST(Decoders, HostNumberOfAScsiAddress) {
    const std::pair<std::string, int> rows[] = {
        {"2:0:1:0", 2}, {"10:0:0:0", 10}, {"", -1},   {":::", -1},
        {"x:0:0:0", 0}, {":7:0:0", 7},    {"12", 12}, {std::string(100, '9'), 2147483647},
    };
    for (const auto& r : rows) EXPECT_EQ(blkdevparams::extracthostid(r.first.c_str()), r.second);
    EXPECT_EQ(blkdevparams::extracthostid(nullptr), -1);
}
