// SCSI generic pass-through without a SCSI device: the handle is opened on /dev/null and the
// sg requests it issues are answered by a scripted ioctl defined in this test binary (the
// library's calls to ioctl resolve to it; every other request goes to the C library). The
// request header the library fills, the retry rules, the failures and their texts, and the
// reserved buffer negotiation are checked against the script. Real sg nodes: tests/scsi_lab.cpp.
#include <dlfcn.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/exception>
#include <velka/scsi>

#include "logcapture.h"
#include "velka_test.h"

using velka::scsi::sgdev;
using velka_test::logcapture;
using velka_test::msg;

namespace {

// One answer to SG_IO: the request fails with ierrno, or completes with these statuses.
struct answer {
    int ierrno;
    int ihost;
    int istatus;
    int iresid;
};

struct script {
    bool bactive = false;
    std::deque<answer> lanswers;  // an empty script completes every command with status 0
    std::vector<sg_io_hdr_t> lheaders;
    std::vector<std::vector<unsigned char>> lsense;  // sense bytes as each try received them
    int igetreserved = 32768;                        // -1: SG_GET_RESERVED_SIZE fails
    int imaxreserved = 1 << 20;                      // larger sizes are refused
    std::vector<int> lsettried;
};
script g_script;

// Activates the script for one test and clears it afterwards.
struct scripted {
    scripted() {
        g_script = script();
        g_script.bactive = true;
    }
    ~scripted() {
        g_script = script();
    }
};

}  // namespace

extern "C" int ioctl(int ifd, unsigned long ulrequest, ...) __THROW {
    va_list ap;
    va_start(ap, ulrequest);
    void* parg = va_arg(ap, void*);
    va_end(ap);
    if (g_script.bactive) {
        if (ulrequest == SG_IO) {
            sg_io_hdr_t* phdr = static_cast<sg_io_hdr_t*>(parg);
            g_script.lheaders.push_back(*phdr);
            std::vector<unsigned char> lsense;
            if (phdr->sbp != nullptr) lsense.assign(phdr->sbp, phdr->sbp + 16);
            g_script.lsense.push_back(lsense);
            if (phdr->sbp != nullptr) memset(phdr->sbp, 0x70, 16);  // leave sense bytes behind
            answer a = {0, 0, 0, 0};
            if (!g_script.lanswers.empty()) {
                a = g_script.lanswers.front();
                g_script.lanswers.pop_front();
            }
            if (a.ierrno != 0) {
                errno = a.ierrno;
                return -1;
            }
            phdr->host_status = static_cast<unsigned short>(a.ihost);
            phdr->status = static_cast<unsigned char>(a.istatus);
            phdr->resid = a.iresid;
            return 0;
        }
        if (ulrequest == SG_GET_RESERVED_SIZE) {
            if (g_script.igetreserved < 0) {
                errno = ENOTTY;
                return -1;
            }
            *static_cast<int*>(parg) = g_script.igetreserved;
            return 0;
        }
        if (ulrequest == SG_SET_RESERVED_SIZE) {
            int isize = *static_cast<int*>(parg);
            g_script.lsettried.push_back(isize);
            if (isize > g_script.imaxreserved) {
                errno = ENOMEM;
                return -1;
            }
            return 0;
        }
    }
    typedef int (*ioctl_t)(int, unsigned long, ...);
    static ioctl_t s_real = reinterpret_cast<ioctl_t>(dlsym(RTLD_NEXT, "ioctl"));
    return s_real(ifd, ulrequest, parg);
}

namespace {

const unsigned char s_inquiry[6] = {0x12, 0, 0, 0, 0x80, 0};

// The exception of one sgio call, or a failure when none is thrown.
velka::exception::exception thrown(
    sgdev& dev, const void* pcdb, int icdblen, void* pdata, int idatalen) {
    unsigned char sense[32];
    try {
        dev.sgio(pcdb, icdblen, pdata, idatalen, false, sense, sizeof(sense), 30);
    } catch (velka::exception::exception& e) {
        return e;
    }
    ADD_FAILURE() << "no exception";
    return velka::exception::exception("", "", "", 0, 0);
}

}  // namespace

TEST(Sgdev, ChecksComeFirstAndInOrder) {
    scripted s;
    unsigned char data[128];
    sgdev closed(nullptr);
    auto e = thrown(closed, s_inquiry, 7, data, sizeof(data));
    EXPECT_EQ(e.get_desc(), "Device is currently not opened");
    EXPECT_EQ(e.get_errno(), 77);
    EXPECT_EQ(e.get_file(), "scsi");
    EXPECT_EQ(e.get_func(), "sgdev::sgio");
    EXPECT_EQ(e.get_ret(), -1);

    sgdev dev("/dev/null", nullptr);
    ASSERT_TRUE(dev.isopen());
    for (int ilen : {0, 5, 7, 11, 17, -6}) {
        auto el = thrown(dev, nullptr, ilen, data, sizeof(data));
        EXPECT_EQ(el.get_desc(),
                  "Invalid CDB length: must be either 6, 10, 12 or 16. Supplied length:" +
                      std::to_string(ilen));
        EXPECT_EQ(el.get_errno(), 22);
    }
    auto ep = thrown(dev, nullptr, 6, data, sizeof(data));
    EXPECT_EQ(ep.get_desc(), "Invalid CDB pointer");
    EXPECT_EQ(ep.get_errno(), 14);
    EXPECT_TRUE(g_script.lheaders.empty());
}

// The request header for each shape of call.
TEST(Sgdev, RequestHeaderFields) {
    struct row {
        bool bdata;
        int idatalen;
        bool bwrite;
        int isenselen;
        int itimeout;
        int idirection;
        unsigned int udxferlen;
        unsigned int umxsb;
        unsigned int utimeout;
    };
    const row rows[] = {
        {true, 128, false, 512, 30, SG_DXFER_FROM_DEV, 128, 255, 30000},
        {true, 128, true, 32, 0, SG_DXFER_TO_DEV, 128, 32, 120000},
        {false, 128, false, 255, -5, SG_DXFER_NONE, 0, 255, 120000},
        {true, 0, false, 0, 1, SG_DXFER_NONE, 0, 0, 1000},
        {true, -4, true, 18, 2000000000, SG_DXFER_NONE, 0, 18, 4294967295u},
    };
    for (const row& r : rows) {
        scripted s;
        unsigned char data[128];
        std::vector<unsigned char> sense(r.isenselen > 0 ? r.isenselen : 1, 0xee);
        sgdev dev("/dev/null", nullptr);
        ASSERT_EQ(dev.sgio(s_inquiry, 6, r.bdata ? data : nullptr, r.idatalen, r.bwrite,
                           r.isenselen > 0 ? sense.data() : nullptr, r.isenselen, r.itimeout),
                  0);
        ASSERT_EQ(g_script.lheaders.size(), 1u);
        const sg_io_hdr_t& h = g_script.lheaders[0];
        SCOPED_TRACE(r.idatalen);
        EXPECT_EQ(h.interface_id, 'S');
        EXPECT_EQ(h.dxfer_direction, r.idirection);
        EXPECT_EQ(h.dxfer_len, r.udxferlen);
        EXPECT_EQ(h.mx_sb_len, r.umxsb);
        EXPECT_EQ(h.timeout, r.utimeout);
        EXPECT_EQ(h.cmd_len, 6);
        EXPECT_EQ(h.cmdp, s_inquiry);
        EXPECT_EQ(h.flags, 0u);
        if (r.isenselen > 0) {
            EXPECT_EQ(g_script.lsense[0], std::vector<unsigned char>(16, 0));
        }
    }
}

// Request failures and transient host statuses share one count of three retries; the sense
// buffer is zeroed before every try.
TEST(Sgdev, RetriesShareOneCount) {
    struct row {
        std::vector<answer> lanswers;
        size_t utries;
        int ierrno;  // 0: returns 0
        size_t uwillretry;
        size_t uhostlines;
    };
    const answer eio = {EIO, 0, 0, 0}, busy = {0, 2, 0, 0}, ok = {0, 0, 0, 0};
    const row rows[] = {
        {{eio, eio, eio, ok}, 4, 0, 3, 0},
        {{eio, eio, eio, eio, ok}, 4, EIO, 3, 0},
        {{{ENOMEM, 0, 0, 0}, ok}, 1, ENOMEM, 0, 0},
        {{busy, busy, busy, ok}, 4, 0, 0, 3},
        // A transient status after the retries are used up, or any other host status, is a
        // command that never completed: DID_NO_CONNECT, DID_BAD_TARGET, DID_ERROR.
        {{busy, busy, busy, busy, {EIO, 0, 0, 0}}, 4, EIO, 0, 3},
        {{{0, 1, 0, 0}}, 1, EIO, 0, 0},
        {{{0, 4, 0, 0}}, 1, EIO, 0, 0},
        {{busy, {0, 7, 0, 0}}, 2, EIO, 0, 1},
        {{eio, busy, eio, {0, 11, 0, 0}, ok}, 4, EIO, 2, 1},
        {{eio, eio, busy, eio}, 4, EIO, 2, 1},
        {{{0, 12, 0, 0}, {0, 13, 0, 0}, {0, 17, 0, 0}, ok}, 4, 0, 0, 3},
        {{{0, 0, 2, 0}}, 1, EPROTO, 0, 1},  // the CHECK CONDITION line itself
        {{busy, {0, 0, 8, 0}}, 2, EPROTO, 0, 1},
    };
    int irow = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(irow++);
        scripted s;
        g_script.lanswers.assign(r.lanswers.begin(), r.lanswers.end());
        logcapture log;
        sgdev dev("/dev/null", log.src());
        unsigned char data[128], sense[64];
        int ierrno = 0;
        std::string sdesc;
        try {
            EXPECT_EQ(dev.sgio(s_inquiry, 6, data, sizeof(data), false, sense, sizeof(sense), 30),
                      0);
        } catch (velka::exception::exception& e) {
            ierrno = e.get_errno();
            sdesc = e.get_desc();
        }
        EXPECT_EQ(g_script.lheaders.size(), r.utries);
        EXPECT_EQ(ierrno, r.ierrno);
        for (const auto& l : g_script.lsense) EXPECT_EQ(l, std::vector<unsigned char>(16, 0));
        EXPECT_EQ(log.count_containing(". Will retry..."), r.uwillretry);
        size_t uhost = 0;
        for (int istatus : {2, 11, 12, 13, 17})
            uhost +=
                log.count_containing("Host threw status " + std::to_string(istatus) +
                                     " while processing INQUIRY sent to scsi device /dev/null");
        EXPECT_EQ(uhost, r.uhostlines);
        const answer& last = r.lanswers[r.utries - 1];
        if (r.ierrno == EIO && last.ihost != 0) {
            std::string stext = "Host status " + std::to_string(last.ihost) +
                                " while processing INQUIRY sent to scsi device /dev/null";
            EXPECT_EQ(sdesc, stext);
            EXPECT_TRUE(log.has(msg("scsi", "sgdev::sgio", stext)));
        } else if (r.ierrno == EIO) {
            EXPECT_EQ(sdesc, "Failed to send INQUIRY to /dev/null" + std::string(strerror(EIO)));
            EXPECT_TRUE(log.has(msg("scsi", "sgdev::sgio",
                                    "SG_IO for /dev/null completed with error: " +
                                        std::string(strerror(EIO)) + ". All retries failed...")));
            EXPECT_EQ(dev.get_errno(), EIO);
        }
        if (r.ierrno == ENOMEM) {
            EXPECT_EQ(sdesc,
                      "The amount of data sent to the SCSI driver exceeded the system imposed "
                      "limits.");
            EXPECT_TRUE(log.has(msg("scsi", "sgdev::sgio", sdesc)));
        }
        if (r.ierrno == EPROTO) {
            int istatus = r.lanswers.back().istatus;
            EXPECT_EQ(sdesc, "Host threw status " + std::to_string(istatus) +
                                 " while processing INQUIRY sent to scsi device /dev/null");
            EXPECT_TRUE(log.has(msg("scsi", "sgdev::sgio", sdesc)));
        }
    }
}

TEST(Sgdev, ReceivedBytesFromTheResidualCount) {
    scripted s;
    g_script.lanswers = {{0, 0, 0, 100}, {0, 0, 0, 500}};
    sgdev dev("/dev/null", nullptr);
    unsigned char data[128];
    ASSERT_EQ(dev.sgio(s_inquiry, 6, data, sizeof(data), false, nullptr, 0, 30), 0);
    EXPECT_EQ(dev.get_received(), 28);
    // A residual count larger than the buffer is not believed.
    ASSERT_EQ(dev.sgio(s_inquiry, 6, data, sizeof(data), false, nullptr, 0, 30), 0);
    EXPECT_EQ(dev.get_received(), 128);
}

TEST(Sgdev, OpenFailuresAndBusyHandle) {
    scripted s;
    logcapture log;
    sgdev dev("/nonexistent/sg9", log.src());
    EXPECT_FALSE(dev.isopen());
    EXPECT_EQ(dev.get_errno(), ENOENT);
    unsigned char data[128];
    EXPECT_EQ(thrown(dev, s_inquiry, 6, data, sizeof(data)).get_errno(), 77);
    EXPECT_EQ(dev.open("/nonexistent/sg9"), -1);
    std::string sline =
        "Failed to open scsi dev : /nonexistent/sg9 " + std::string(strerror(ENOENT));
    ASSERT_EQ(dev.open("/dev/null"), 0);
    EXPECT_EQ(dev.get_dev(), "/dev/null");
    try {
        dev.open("/dev/zero");
        ADD_FAILURE() << "a second open was accepted";
    } catch (velka::exception::exception& e) {
        EXPECT_EQ(e.get_desc(), "/dev/zero failing open as the device is already opened /dev/null");
        EXPECT_EQ(e.get_errno(), 16);
        EXPECT_EQ(e.get_func(), "scsi::open");
    }
    EXPECT_EQ(dev.get_dev(), "/dev/null");
    EXPECT_TRUE(dev.isopen());
    dev.close();
    EXPECT_FALSE(dev.isopen());
    EXPECT_EQ(dev.get_dev(), "");
    dev.close();
    auto l = log.messages();
    EXPECT_EQ(std::count(l.begin(), l.end(), msg("scsi", "sgdev::open_internal", sline)), 2);
    EXPECT_TRUE(log.has(
        msg("scsi", "scsi::open", "provided device : /dev/zero already opened device: /dev/null")));
}

// 8 MiB is asked for, halved while refused; nothing is asked when the size is already large
// enough or cannot be read.
TEST(Sgdev, ReservedBufferNegotiation) {
    struct row {
        int iget;
        int imax;
        std::vector<int> ltried;
    };
    const row rows[] = {
        {32768, 1 << 20, {1 << 23, 1 << 22, 1 << 21, 1 << 20}},
        {32768, 1 << 23, {1 << 23}},
        {1 << 23, 0, {}},
        {-1, 0, {}},
        {0, 0, {}},  // filled below: every size refused, down to 1 byte
    };
    for (row r : rows) {
        if (r.iget == 0)
            for (int i = 1 << 23; i >= 1; i /= 2) r.ltried.push_back(i);
        scripted s;
        g_script.igetreserved = r.iget;
        g_script.imaxreserved = r.imax;
        sgdev dev("/dev/null", nullptr);
        EXPECT_TRUE(dev.isopen());
        EXPECT_EQ(g_script.lsettried, r.ltried) << r.iget;
    }
}

TEST(Sgdev, CommandNames) {
    EXPECT_EQ(sgdev::cmdtoname(0x12), "INQUIRY");
    EXPECT_EQ(sgdev::cmdtoname(0x9E), "UNKNOWN");
    EXPECT_EQ(sgdev::cmdtoname(0x112), "INQUIRY");
    EXPECT_EQ(sgdev::cmdtoname(-1), "UNKNOWN");
}

// A node opened as descriptor 0 (standard input closed) is a real open handle: it is closed
// by close() and a second open is refused while it is open.
TEST(Sgdev, DescriptorZeroIsAnOpenHandle) {
    int istatus = velka_test::run_in_child([] {
        ::close(0);
        scripted s;
        sgdev dev("/dev/null", nullptr);
        if (!dev.isopen() || fcntl(0, F_GETFD) < 0) return 1;
        try {
            dev.open("/dev/zero");
            return 2;
        } catch (velka::exception::exception&) {
        }
        unsigned char data[8];
        if (dev.sgio(s_inquiry, 6, data, sizeof(data), false, nullptr, 0, 1) != 0) return 3;
        dev.close();
        if (fcntl(0, F_GETFD) >= 0 || errno != EBADF) return 4;
        return 0;
    });
    EXPECT_TRUE(WIFEXITED(istatus) && WEXITSTATUS(istatus) == 0) << istatus;
}
