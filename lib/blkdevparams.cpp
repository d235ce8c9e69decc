// Attribute extraction for block device records: sysfs attributes read as their first line,
// SCSI commands (READ CAPACITY(16), standard INQUIRY and the VPD pages 0x00, 0x80, 0xB1 and
// 0xB2) sent through the disk's generic node, and blkid for the label. Each extractor fills
// one field group; on failure it logs, stores fallback values and lets the caller go on.
#include <velka/blkdev>

#include <cstdlib>
#include <cstring>
#include <list>
#include <string>

#include <velka/exception>
#include <velka/logger>
#include <velka/scoped_array>
#include <velka/scsi>
#include <velka/utilities>
#include "failure.h"

#include "internal/blkdev.h"

namespace velka {
namespace blkdev {

namespace {

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "blkdevparams";
// Data and sense buffer sizes of every command; the allocation length of the CDBs is the
// data buffer size.
const int s_databufsize = 128;
const int s_sensebufsize = 512;
// Seconds a command may take.
const int s_cmdtimeout = 30;
// Time given to blkid before its answer is read.
const int s_blkiddelay = 20;
// Longest scheduler name kept.
const size_t s_maxschedname = 63;
// Where the kernel's block devices are listed, by kernel name.
const std::string s_sysfsblock = "/sys/block/";

// Byte i of the data received, 0 beyond it.
unsigned int byteat(const unsigned char* pdata, size_t ulen, size_t i) {
    return i < ulen ? pdata[i] : 0u;
}

// The big-endian number of ucount bytes at uoffset.
unsigned long long bigendian(const unsigned char* pdata,
                             size_t ulen,
                             size_t uoffset,
                             size_t ucount) {
    unsigned long long ull = 0;
    for (size_t i = 0; i < ucount; ++i) ull = (ull << 8) | byteat(pdata, ulen, uoffset + i);
    return ull;
}

// The bytes of a VPD page after its four-byte header: as many as byte 3 gives, and no more
// than were received.
size_t vpdpagelen(const unsigned char* pdata, size_t ulen) {
    if (ulen <= 4) return 0;
    size_t n = byteat(pdata, ulen, 3);
    return n < ulen - 4 ? n : ulen - 4;
}

// blkid -s PTTYPE -o value {device}: the partition-table type tag by its name; empty when
// the device is refused as an operand.
std::string labelcmd(const std::string& sdev) {
    std::string squoted;
    if (!utilities::quoteoperand(sdev, squoted)) return "";
    return "blkid -s PTTYPE -o value " + squoted;
}

// One SCSI command through a fresh handle on the generic node: the data buffer and its
// received length on success. Throws what the pass-through throws; the node is closed on
// every path by the handle's destructor.
struct command {
    unsigned char data[s_databufsize];
    size_t ureceived;

    command(velka::logger::source* plogsrc,
            const std::string& ssgdevpath,
            const unsigned char* pcdb,
            int icdblen)
        : ureceived(0) {
        memset(data, 0, sizeof(data));
        velka::scsi::sgdev dev(ssgdevpath, plogsrc);
        velka::scoped_array::scoped_array<unsigned char> sense(s_sensebufsize);
        memset(sense.get(), 0, sense.size());
        dev.sgio(pcdb, icdblen, data, s_databufsize, false, sense.get(), s_sensebufsize,
                 s_cmdtimeout);
        int ireceived = dev.get_received();
        ureceived = ireceived < 0 ? 0 : static_cast<size_t>(ireceived);
        if (ureceived > sizeof(data)) ureceived = sizeof(data);
    }
};

// INQUIRY with EVPD set for a page, in a six-byte CDB.
void vpdcdb(unsigned char ucdb[6], unsigned char upage) {
    ucdb[0] = 0x12;
    ucdb[1] = 0x01;
    ucdb[2] = upage;
    ucdb[3] = 0x00;
    ucdb[4] = s_databufsize;
    ucdb[5] = 0x00;
}

}  // namespace

blkdevparams::blkdevparams(velka::logger::source* plogsrc) : m_plogsrc(plogsrc) {}

void blkdevparams::set_hosttransport(int ihost, scsitransport_t etransport) {
    m_scsihostmap[ihost] = etransport;
}

int blkdevparams::extracthostid(const char* slocation) {
    if (slocation == nullptr) return -1;
    char sbuf[65];
    strncpy(sbuf, slocation, 64);
    sbuf[64] = '\0';
    char sdelim[] = ":";
    std::list<std::string> ltokens;
    utilities::tokenize(sbuf, sdelim, ltokens);
    if (ltokens.empty()) return -1;
    return utilities::strtoi(ltokens.front());
}

// ---- Decoders ----

void decodecapacity(const unsigned char* pdata,
                    size_t ulen,
                    unsigned long long& ullblocks,
                    unsigned int& uiblksize) {
    ullblocks = bigendian(pdata, ulen, 0, 8) + 1;
    uiblksize = static_cast<unsigned int>(bigendian(pdata, ulen, 8, 4));
}

std::string decodeserial(const unsigned char* pdata, size_t ulen) {
    std::string sserial;
    size_t n = vpdpagelen(pdata, ulen);
    for (size_t i = 0; i < n; ++i) sserial += static_cast<char>(pdata[4 + i]);
    return sserial;
}

unsigned int decodedevicetype(const unsigned char* pdata, size_t ulen) {
    return byteat(pdata, ulen, 0) & 0x1f;
}

bool blkdevparams::isdisktype(unsigned int uitype) {
    return uitype == 0x00 || uitype == 0x0e || uitype == 0x14;
}

std::string blkdevparams::peripheraltype(unsigned int uitype) {
    static const char* const s_names[] = {"disk",
                                          "tape drive",
                                          "printer",
                                          "processor",
                                          "write-once drive",
                                          "cd/dvd drive",
                                          "scanner",
                                          "optical memory drive",
                                          "medium changer",
                                          "communications device",
                                          nullptr,
                                          nullptr,
                                          "storage array controller",
                                          "enclosure",
                                          "disk (reduced block commands)",
                                          "optical card drive",
                                          "bridge controller",
                                          "object storage device",
                                          "automation/drive interface",
                                          "security manager",
                                          "host-managed zoned disk"};
    if (uitype < sizeof(s_names) / sizeof(s_names[0]) && s_names[uitype] != nullptr)
        return s_names[uitype];
    if (uitype == 0x1e) return "well-known logical unit";
    if (uitype == 0x1f) return "unknown device";
    return "device of peripheral type " + utilities::uitostr(uitype);
}

velka::scsi::vpdinfo decodevpdpages(const unsigned char* pdata, size_t ulen) {
    velka::scsi::vpdinfo info;
    size_t n = vpdpagelen(pdata, ulen);
    for (size_t i = 0; i < n; ++i) {
        switch (pdata[4 + i]) {
            case 0x03:
                info.m_ascii = true;
                break;
            case 0x80:
                info.m_serialnum = true;
                break;
            case 0x83:
                info.m_identity = true;
                break;
            case 0x86:
                info.m_extinquiry = true;
                break;
            case 0x87:
                info.m_modepage = true;
                break;
            case 0x88:
                info.m_scsiports = true;
                break;
            case 0x89:
                info.m_atainformation = true;
                break;
            case 0x8A:
                info.m_powercondition = true;
                break;
            case 0x90:
                info.m_protocollun = true;
                break;
            case 0xB0:
                info.m_blocklimit = true;
                break;
            case 0xB1:
                info.m_blkdev = true;
                break;
            case 0xB2:
                info.m_provisioning = true;
                break;
            default:
                break;
        }
    }
    return info;
}

int decoderotationrate(const unsigned char* pdata, size_t ulen) {
    return static_cast<int>(bigendian(pdata, ulen, 4, 2));
}

void decodeprovisioning(const unsigned char* pdata, size_t ulen, bool& bunmap, bool& bsamewrite) {
    unsigned int ubyte = byteat(pdata, ulen, 5);
    bunmap = (ubyte & 0x80) != 0;
    bsamewrite = (ubyte & 0x40) != 0;
}

bool decodescheduler(const std::string& sline, std::string& sname) {
    size_t ustart = 0;
    for (;;) {
        size_t uend = sline.find(' ', ustart);
        std::string spiece = sline.substr(ustart, uend == std::string::npos ? uend : uend - ustart);
        if (!spiece.empty() && spiece[0] == '[') {
            // "[name]" gives name; a lone "[" gives the empty name.
            sname = spiece.size() < 2 ? std::string() : spiece.substr(1, spiece.size() - 2);
            if (sname.size() > s_maxschedname) sname.resize(s_maxschedname);
            return true;
        }
        if (uend == std::string::npos) return false;
        ustart = uend + 1;
    }
}

// ---- sysfs ----

void blkdevparams::extractdevno(const std::string& sblkdevinfodir, blkdev& bdev) {
    std::string smajor, sminor;
    int imajor = 0, iminor = 0;
    if (utilities::nvpair(utilities::read(sblkdevinfodir + "/dev"), smajor, sminor) == 0) {
        imajor = utilities::strtoi(smajor);
        iminor = utilities::strtoi(sminor);
    }
    bdev.set_major(imajor);
    bdev.set_minor(iminor);
}

void blkdevparams::extractremovable(const std::string& sblkdevinfodir, blkdev& bdev) {
    bdev.set_removable(utilities::strtoi(utilities::read(sblkdevinfodir + "/removable")) != 0);
}

void blkdevparams::extractvendor(const std::string& slegatodir, blkdev& bdev) {
    bdev.set_vendor(utilities::read(slegatodir + "/vendor"));
}

void blkdevparams::extractmodel(const std::string& slegatodir, blkdev& bdev) {
    bdev.set_model(utilities::read(slegatodir + "/model"));
}

void blkdevparams::extractscsiversion(const std::string& slegatodir, blkdev& bdev) {
    bdev.set_scsiversion(
        static_cast<unsigned int>(utilities::strtoi(utilities::read(slegatodir + "/scsi_level"))));
}

void blkdevparams::extractsgdev(const std::string& slegatodir,
                                const std::string& devfsmntpath,
                                blkdev& bdev) {
    std::list<std::string> lentries;
    if (utilities::readdir(slegatodir + "/scsi_generic", lentries) != 0 || lentries.empty()) {
        bdev.set_sgdev("");
        return;
    }
    bdev.set_sgdev(devfsmntpath + "/" + lentries.front());
}

void blkdevparams::extractscheduler(const std::string& sblksysfspath, blkdev& bdev) {
    std::string sname;
    if (decodescheduler(utilities::read(sblksysfspath + "/queue/scheduler"), sname))
        bdev.set_scheduler(sname);
}

void blkdevparams::extractsize(const std::string& snvmedevdir, blkdev& bdev) {
    bdev.set_numblks(utilities::strtoul(utilities::read(snvmedevdir + "/size")));
    bdev.set_blksize(512);
}

void blkdevparams::extracttransporttype(blkdev& bdev) {
    std::string slegato = bdev.get_legatopath();
    int ihost = extracthostid(slegato.c_str());
    hostmap_t::const_iterator it = m_scsihostmap.find(ihost);
    bdev.set_transport(it == m_scsihostmap.end() ? e_scsi : it->second);
}

// blkid -s PTTYPE -o value {device} with a 20 ms delay: the first line, "" when the device
// carries no partition table. Logs "{command} execution failed" and stores "" when the
// command cannot run.
void blkdevparams::extractlabel(blkdev& bdev) {
    std::string sdev = bdev.get_dev();
    std::string scmd = labelcmd(sdev);
    if (scmd.empty()) {
        velka::detail::refuse(m_plogsrc, s_file, "blkdevmgr::extractlabel",
                              "Block device " + sdev + " refused: value begins with '-'");
        bdev.set_label("");
        return;
    }
    std::list<std::string> loutput;
    if (utilities::popen(scmd, loutput, s_blkiddelay) != 0) {
        velka::detail::fail(m_plogsrc, s_file, "blkdevmgr::extractlabel",
                            scmd + " execution failed");
        bdev.set_label("");
        return;
    }
    bdev.set_label(loutput.empty() ? std::string() : loutput.front());
}

// ---- SCSI commands ----

// The kernel's count of 512-byte sectors in /sys/block/{name}/size, name being the last
// component of the record's device path (after links are resolved), stated in the disk's
// logical blocks (queue/logical_block_size; 512 when absent or not a multiple of 512 that
// divides the byte count). Logged either way; the record is left as it is when the size
// cannot be read or is 0.
void blkdevparams::capacityfromsysfs(blkdev& bdev) {
    std::string sdev = bdev.get_dev();
    char* preal = realpath(sdev.c_str(), nullptr);
    if (preal != nullptr) {
        sdev = preal;
        free(preal);
    }
    const std::string sname = sdev.substr(sdev.rfind('/') + 1);
    const std::string sdir = s_sysfsblock + sname;
    const std::string ssize = utilities::read(sdir + "/size");
    unsigned long long ullsectors = 0;
    if (sname != "." && sname != ".." && !ssize.empty() &&
        ssize.find_first_not_of("0123456789") == std::string::npos)
        ullsectors = strtoull(ssize.c_str(), nullptr, 10);
    if (ullsectors == 0 || ullsectors > ~0ULL / 512) {
        velka::detail::note(m_plogsrc, s_file, "blkdevmgr::extractblkdevcapacity",
                            "No capacity for " + bdev.get_dev() + " in " + sdir + "/size either");
        return;
    }
    unsigned long long ullbytes = ullsectors * 512;
    unsigned int uiblksize = static_cast<unsigned int>(
        utilities::strtoul(utilities::read(sdir + "/queue/logical_block_size")));
    if (uiblksize < 512 || uiblksize % 512 != 0 || ullbytes % uiblksize != 0) uiblksize = 512;
    bdev.set_numblks(ullbytes / uiblksize);
    bdev.set_blksize(uiblksize);
    velka::detail::note(m_plogsrc, s_file, "blkdevmgr::extractblkdevcapacity",
                        "Capacity of " + bdev.get_dev() + " taken from " + sdir +
                            "/size: " + std::to_string(ullbytes / uiblksize) + " blocks of " +
                            std::to_string(uiblksize) + " bytes");
}

// SERVICE ACTION IN(16) / READ CAPACITY(16); the sysfs size when it gives no capacity.
int blkdevparams::extractblkdevcapacity(const std::string& ssgdevpath, blkdev& bdev) {
    const unsigned char ucdb[16] = {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0};
    unsigned long long ullblocks = 0;
    unsigned int uiblksize = 0;
    int iret = 0;
    try {
        command cmd(m_plogsrc, ssgdevpath, ucdb, sizeof(ucdb));
        decodecapacity(cmd.data, cmd.ureceived, ullblocks, uiblksize);
    } catch (velka::exception::exception&) {
        velka::detail::failcaught(m_plogsrc, s_file, "blkdevmgr::extractblkdevcapacity",
                                  "Failed to extract capacity for " + ssgdevpath);
        ullblocks = 0;
        uiblksize = 0;
        iret = -1;
    }
    bdev.set_numblks(ullblocks);
    bdev.set_blksize(uiblksize);
    // Old USB bridges refuse the sixteen-byte command; a disk may have no generic node.
    if (iret != 0 || uiblksize == 0) capacityfromsysfs(bdev);
    return iret;
}

// INQUIRY, EVPD, page 0x80, sent as a sixteen-byte CDB (the six INQUIRY bytes, ten zeros).
int blkdevparams::extractuuid(const std::string& ssgdevpath, blkdev& bdev) {
    unsigned char ucdb[16] = {0};
    vpdcdb(ucdb, 0x80);
    std::string sserial;
    int iret = 0;
    try {
        command cmd(m_plogsrc, ssgdevpath, ucdb, sizeof(ucdb));
        sserial = decodeserial(cmd.data, cmd.ureceived);
    } catch (velka::exception::exception&) {
        velka::detail::failcaught(m_plogsrc, s_file, "blkdevmgr::extractuuid",
                                  "Failed to extract uuid for " + ssgdevpath);
        sserial.clear();
        iret = -1;
    }
    velka::detail::note(m_plogsrc, s_file, "blkdevmgr::extractuuid",
                        "uuid for " + ssgdevpath + " : " + sserial);
    bdev.set_serial(sserial);
    return iret;
}

// Standard INQUIRY.
int blkdevparams::extractdevicetype(const std::string& ssgdevpath, blkdev& bdev) {
    const unsigned char ucdb[6] = {0x12, 0, 0, 0, s_databufsize, 0};
    unsigned int uitype = 255;
    int iret = 0;
    try {
        command cmd(m_plogsrc, ssgdevpath, ucdb, sizeof(ucdb));
        uitype = decodedevicetype(cmd.data, cmd.ureceived);
    } catch (velka::exception::exception&) {
        velka::detail::failcaught(m_plogsrc, s_file, "blkdevmgr::extractdevicetype",
                                  "Failed to determine device type for " + ssgdevpath);
        uitype = 255;
        iret = -1;
    }
    bdev.set_devicetype(uitype);
    return iret;
}

// INQUIRY, EVPD, page 0x00.
velka::scsi::vpdinfo blkdevparams::extractvpdinfo(const std::string& ssgdevpath) {
    unsigned char ucdb[6];
    vpdcdb(ucdb, 0x00);
    velka::scsi::vpdinfo info;
    try {
        command cmd(m_plogsrc, ssgdevpath, ucdb, sizeof(ucdb));
        info = decodevpdpages(cmd.data, cmd.ureceived);
    } catch (velka::exception::exception&) {
        velka::detail::failcaught(m_plogsrc, s_file, "blkdevmgr::extractvpdinfo",
                                  "Failed to extract vpdinfo for " + ssgdevpath);
        info.reset();
    }
    return info;
}

// INQUIRY, EVPD, page 0xB1.
int blkdevparams::extractrotationspeed(const std::string& ssgdevpath, blkdev& bdev) {
    unsigned char ucdb[6];
    vpdcdb(ucdb, 0xB1);
    int irate = -1;
    int iret = 0;
    try {
        command cmd(m_plogsrc, ssgdevpath, ucdb, sizeof(ucdb));
        irate = decoderotationrate(cmd.data, cmd.ureceived);
    } catch (velka::exception::exception&) {
        velka::detail::failcaught(m_plogsrc, s_file, "blkdevmgr::extractrotationspeed",
                                  "Failed to extract rotation speed for " + ssgdevpath);
        irate = -1;
        iret = -1;
    }
    bdev.set_rotationspeed(irate);
    bdev.set_isflashdisk(irate == 1);
    return iret;
}

// INQUIRY, EVPD, page 0xB2.
int blkdevparams::extractprovisioninginfo(const std::string& ssgdevpath, blkdev& bdev) {
    unsigned char ucdb[6];
    vpdcdb(ucdb, 0xB2);
    bool bunmap = false, bsamewrite = false;
    int iret = 0;
    try {
        command cmd(m_plogsrc, ssgdevpath, ucdb, sizeof(ucdb));
        decodeprovisioning(cmd.data, cmd.ureceived, bunmap, bsamewrite);
    } catch (velka::exception::exception&) {
        velka::detail::failcaught(
            m_plogsrc, s_file, "blkdevmgr::extractprovisioninginfo",
            "Failed to extract logical block provisioning information for " + ssgdevpath);
        bunmap = false;
        bsamewrite = false;
        iret = -1;
    }
    bdev.set_unmap(bunmap);
    bdev.set_samewrite(bsamewrite);
    return iret;
}

}  // namespace blkdev
}  // namespace velka
