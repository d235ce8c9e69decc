// SCSI generic pass-through over the kernel's sg driver: open with the reserved buffer
// enlarged, the SG_IO request header filled from the caller's command, bounded retries of
// request failures and transient host statuses, exceptions for everything that lasts.
#include <velka/scsi>

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include <velka/exception>
#include <velka/logger>
#include <velka/utilities>
#include "failure.h"

namespace velka {
namespace scsi {

namespace {

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "scsi";
// Reserved buffer size asked for at open: 8 MiB.
const int s_reservedsize = 0x800000;
// The request header's sense length field is one byte.
const int s_maxsenselen = 255;

// Host statuses after which the command is sent again: bus busy, soft error, immediate
// retry, requeue, nexus failure.
bool istransient(int ihoststatus) {
    return ihoststatus == 2 || ihoststatus == 11 || ihoststatus == 12 || ihoststatus == 13 ||
           ihoststatus == 17;
}

velka::exception::exception failure(const char* stag, const std::string& sdesc, int ierrno) {
    // The thread's last failure, unless the failure was logged (and so recorded, with the
    // device) just before.
    velka::failure last = velka::last_error();
    if (last.m_sfunction != stag || last.m_ierrno != ierrno)
        velka::detail::record(stag, sdesc, "", -1, ierrno, "");
    return velka::exception::exception(s_file, stag, sdesc, -1, ierrno);
}

}  // namespace

sgdev::sgdev(velka::logger::source* plogsrc)
    : m_ifd(-1), m_ierrno(0), m_plogsrc(plogsrc), m_ireceived(0) {}

sgdev::sgdev(const std::string& sdev, velka::logger::source* plogsrc)
    : m_sdev(sdev), m_ifd(-1), m_ierrno(0), m_plogsrc(plogsrc), m_ireceived(0) {
    open_internal(sdev);
}

sgdev::~sgdev() {
    close();
}

// open(2) with O_RDWR (close-on-exec), then SG_GET_RESERVED_SIZE and, below 8 MiB,
// SG_SET_RESERVED_SIZE with 8 MiB, halving while the kernel refuses. -1 (logged "Failed to open
// scsi dev : ") when the node cannot be opened; the reserved buffer never fails the open.
int sgdev::open_internal(const std::string& sdev) {
    m_ifd = ::open(m_sdev.c_str(), O_RDWR | O_CLOEXEC);
    if (m_ifd < 0) {
        m_ierrno = errno;
        velka::detail::failwhat(m_plogsrc, s_file, "sgdev::open_internal",
                                "Failed to open scsi dev : " + sdev + " " + strerror(m_ierrno),
                                "open " + sdev, m_ierrno);
        return -1;
    }
    int isize = 0;
    if (::ioctl(m_ifd, SG_GET_RESERVED_SIZE, &isize) == 0 && isize < s_reservedsize) {
        for (int itry = s_reservedsize; itry >= 1; itry /= 2) {
            if (::ioctl(m_ifd, SG_SET_RESERVED_SIZE, &itry) == 0) break;
        }
    }
    return 0;
}

int sgdev::open(const std::string& sdev) {
    if (m_ifd < 0) {
        m_sdev = sdev;
        int iret = open_internal(sdev);
        return iret < 0 ? iret : 0;
    }
    velka::detail::failwhat(m_plogsrc, s_file, "scsi::open",
                            "provided device : " + sdev + " already opened device: " + m_sdev,
                            "open " + sdev, EBUSY);
    throw failure("scsi::open", sdev + " failing open as the device is already opened " + m_sdev,
                  EBUSY);
}

void sgdev::close() {
    if (m_ifd >= 0) {
        ::close(m_ifd);
        m_ifd = -1;
        m_sdev.clear();
    }
}

int sgdev::sgio(const void* pcdb,
                int icdblen,
                void* pdatabuf,
                int idatalen,
                bool bwrite,
                void* psensebuf,
                int isenselen,
                int itimeout) {
    if (m_ifd < 0) throw failure("sgdev::sgio", "Device is currently not opened", EBADFD);
    if (icdblen != 6 && icdblen != 10 && icdblen != 12 && icdblen != 16)
        throw failure("sgdev::sgio",
                      "Invalid CDB length: must be either 6, 10, 12 or 16. Supplied length:" +
                          utilities::itostr(icdblen),
                      EINVAL);
    if (pcdb == nullptr) throw failure("sgdev::sgio", "Invalid CDB pointer", EFAULT);
    if (pdatabuf == nullptr || idatalen < 0) idatalen = 0;
    if (psensebuf == nullptr || isenselen < 0) isenselen = 0;
    unsigned int uitimeout = UINT_MAX;
    if (itimeout <= 0)
        uitimeout = static_cast<unsigned int>(icdb_timeout) * 1000u;
    else if (itimeout <= static_cast<int>(UINT_MAX / 1000u))
        uitimeout = static_cast<unsigned int>(itimeout) * 1000u;
    std::string sname = cmdtoname(*static_cast<const unsigned char*>(pcdb));

    m_ireceived = 0;
    int iretries = 0;
    for (;;) {
        sg_io_hdr_t hdr;
        memset(&hdr, 0, sizeof(hdr));
        if (isenselen > 0) memset(psensebuf, 0, static_cast<size_t>(isenselen));
        hdr.interface_id = 'S';
        if (idatalen == 0)
            hdr.dxfer_direction = SG_DXFER_NONE;
        else
            hdr.dxfer_direction = bwrite ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
        hdr.cmd_len = static_cast<unsigned char>(icdblen);
        hdr.mx_sb_len =
            static_cast<unsigned char>(isenselen < s_maxsenselen ? isenselen : s_maxsenselen);
        hdr.dxfer_len = static_cast<unsigned int>(idatalen);
        hdr.dxferp = idatalen == 0 ? nullptr : pdatabuf;
        hdr.cmdp = static_cast<unsigned char*>(const_cast<void*>(pcdb));
        hdr.sbp = static_cast<unsigned char*>(isenselen == 0 ? nullptr : psensebuf);
        hdr.timeout = uitimeout;

        if (::ioctl(m_ifd, SG_IO, &hdr) < 0) {
            int ierr = errno;
            m_ierrno = ierr;
            if (ierr == ENOMEM) {
                const char* stext =
                    "The amount of data sent to the SCSI driver exceeded the system imposed "
                    "limits.";
                velka::detail::failwhat(m_plogsrc, s_file, "sgdev::sgio", stext, "SG_IO " + m_sdev,
                                        ENOMEM);
                throw failure("sgdev::sgio", stext, ENOMEM);
            }
            if (iretries <= imax_retries - 1) {
                ++iretries;
                velka::detail::note(m_plogsrc, s_file, "sgdev::sgio",
                                    "SG_IO for " + m_sdev + " completed with error: " +
                                        strerror(ierr) + ". Will retry...");
                continue;
            }
            velka::detail::failwhat(m_plogsrc, s_file, "sgdev::sgio",
                                    "SG_IO for " + m_sdev + " completed with error: " +
                                        strerror(ierr) + ". All retries failed...",
                                    "SG_IO " + m_sdev, ierr);
            throw failure("sgdev::sgio",
                          "Failed to send " + sname + " to " + m_sdev + strerror(ierr), ierr);
        }
        if (istransient(hdr.host_status) && iretries <= imax_retries - 1) {
            ++iretries;
            velka::detail::note(m_plogsrc, s_file, "sgdev::sgio",
                                "Host threw status " + utilities::itostr(hdr.host_status) +
                                    " while processing " + sname + " sent to scsi device " +
                                    m_sdev);
            continue;
        }
        // A host status that is still set after the retries means the command did not run
        // to completion on the device (no connection, bad target, a transport error...):
        // the buffer holds nothing the device sent.
        if (hdr.host_status != 0) {
            std::string stext = "Host status " + utilities::itostr(hdr.host_status) +
                                " while processing " + sname + " sent to scsi device " + m_sdev;
            velka::detail::failwhat(m_plogsrc, s_file, "sgdev::sgio", stext, "SG_IO " + m_sdev,
                                    EIO);
            throw failure("sgdev::sgio", stext, EIO);
        }
        if (hdr.status != 0) {
            std::string stext = "Host threw status " + utilities::itostr(hdr.status) +
                                " while processing " + sname + " sent to scsi device " + m_sdev;
            velka::detail::failwhat(m_plogsrc, s_file, "sgdev::sgio", stext, "SG_IO " + m_sdev,
                                    EPROTO);
            throw failure("sgdev::sgio", stext, EPROTO);
        }
        int iresid = hdr.resid;
        if (iresid < 0 || iresid > idatalen) iresid = 0;
        m_ireceived = idatalen - iresid;
        return 0;
    }
}

std::string sgdev::cmdtoname(int cmd) {
    switch (cmd & 0xff) {
        case 0x00:
            return "TEST_UNIT_READY";
        case 0x01:
            return "REWIND";
        case 0x03:
            return "REQUEST_SENSE";
        case 0x05:
            return "READ_BLOCK_LIMITS";
        case 0x07:
            return "INITIALIZE_ELEMENT_STATUS";
        case 0x08:
            return "READ";
        case 0x0A:
            return "WRITE";
        case 0x0C:
            return "SEEK_BLOCK";
        case 0x10:
            return "WRITE_FILEMARKS";
        case 0x11:
            return "SPACE";
        case 0x12:
            return "INQUIRY";
        case 0x13:
            return "VERIFY";
        case 0x15:
            return "MODE_SELECT";
        case 0x16:
            return "RESERVE";
        case 0x17:
            return "RELEASE";
        case 0x19:
            return "ERASE";
        case 0x1A:
            return "MODE_SENSE";
        case 0x1B:
            return "LOAD";
        case 0x1D:
            return "SEND_DIAGNOSTIC";
        case 0x1E:
            return "PREVENT_MEDIA_REMOVAL";
        case 0x28:
            return "READ10";
        case 0x2A:
            return "WRITE10";
        case 0x2B:
            return "LOCATE";
        case 0x34:
            return "READ_POSITION";
        case 0x3B:
            return "WRITE_BUFFER";
        case 0x3C:
            return "READ_BUFFER";
        case 0x44:
            return "REPORT_DENSITY_SUPPORT";
        case 0x4C:
            return "LOG_SELECT";
        case 0x4D:
            return "LOG_SENSE";
        case 0x8C:
            return "READ_ATTRIBUTE";
        case 0x8D:
            return "WRITE_ATTRIBUTE";
        case 0xA0:
            return "REPORT_LUNS";
        case 0xA2:
            return "SECURITY_IN";
        case 0xA5:
            return "MOVE_MEDIUM";
        case 0xB5:
            return "SECURITY_OUT";
        case 0xB8:
            return "READ_ELEMENT_STATUS";
        case 0xE7:
            return "INITIALIZE_ELEMENT_STATUS_WITH_RANGE";
        default:
            return "UNKNOWN";
    }
}

}  // namespace scsi
}  // namespace velka
