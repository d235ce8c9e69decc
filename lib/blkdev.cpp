// Block device records: construction, the accessors of every field, the device numbers as
// text and the record's own log line; the supported VPD page set.
#include <velka/blkdev>

#include "internal/blkdev.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <velka/logger>
#include <velka/utilities>
#include "failure.h"
#include "internal/utilities.h"

namespace velka {
namespace scsi {

vpdinfo::vpdinfo() {
    reset();
}

void vpdinfo::reset() {
    m_ascii = false;
    m_serialnum = false;
    m_identity = false;
    m_extinquiry = false;
    m_modepage = false;
    m_scsiports = false;
    m_atainformation = false;
    m_powercondition = false;
    m_protocollun = false;
    m_blocklimit = false;
    m_blkdev = false;
    m_provisioning = false;
}

}  // namespace scsi

namespace blkdev {

namespace {

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "blkdev";

}  // namespace

blkdev::blkdev() : blkdev(std::string(), nullptr) {}

blkdev::blkdev(const std::string& sdevicepath, velka::logger::source* plogsrc)
    : m_sdevicepath(sdevicepath),
      m_imajor(0),
      m_iminor(0),
      m_etransporttype(e_scsi),
      m_ullblocks(0),
      m_uiblocksize(0),
      m_btrimsupported(false),
      m_bremovable(false),
      m_bunmapsupported(false),
      m_bsamewritesupported(false),
      m_irotationspeed(0),
      m_isflashdrive(false),
      m_uiscsiversion(0),
      m_uidevicetype(0),
      m_plogsrc(plogsrc),
      m_udev(plogsrc) {}

void blkdev::set_legatopath(const std::string& slegato) {
    m_slegatopath = slegato;
}
std::string blkdev::get_legatopath() const {
    return m_slegatopath;
}
void blkdev::set_sgdev(const std::string& sg) {
    m_ssgdev = sg;
}
std::string blkdev::get_sgdev() const {
    return m_ssgdev;
}
void blkdev::set_major(int major) {
    m_imajor = major;
}
int blkdev::get_major() const {
    return m_imajor;
}
void blkdev::set_minor(int minor) {
    m_iminor = minor;
}
int blkdev::get_minor() const {
    return m_iminor;
}
void blkdev::set_vendor(const std::string& svendor) {
    m_svendorid = svendor;
}
std::string blkdev::get_vendor() const {
    return m_svendorid;
}
void blkdev::set_model(const std::string& smodel) {
    m_smodelid = smodel;
}
std::string blkdev::get_model() const {
    return m_smodelid;
}
void blkdev::set_serial(const std::string& sserial) {
    m_sserialnum = sserial;
}
std::string blkdev::get_serial() const {
    return m_sserialnum;
}
void blkdev::set_transport(scsitransport_t type) {
    m_etransporttype = type;
}
scsitransport_t blkdev::get_transport() const {
    return m_etransporttype;
}
void blkdev::set_numblks(unsigned long long ullblks) {
    m_ullblocks = ullblks;
}
unsigned long long blkdev::get_blocks() const {
    return m_ullblocks;
}
void blkdev::set_blksize(unsigned int uiblksize) {
    m_uiblocksize = uiblksize;
}
unsigned long long blkdev::get_blksize() const {
    return m_uiblocksize;
}
void blkdev::set_trimsupport(bool btrim) {
    m_btrimsupported = btrim;
}
bool blkdev::get_trimsupport() const {
    return m_btrimsupported;
}
void blkdev::set_removable(bool bremovable) {
    m_bremovable = bremovable;
}
bool blkdev::get_removable() const {
    return m_bremovable;
}
void blkdev::set_unmap(bool bunmap) {
    m_bunmapsupported = bunmap;
}
bool blkdev::get_unmap() const {
    return m_bunmapsupported;
}
void blkdev::set_samewrite(bool bsamewrite) {
    m_bsamewritesupported = bsamewrite;
}
bool blkdev::get_samewrite() const {
    return m_bsamewritesupported;
}
void blkdev::set_scheduler(const std::string& ssched) {
    m_sdiskscheduler = ssched;
}
std::string blkdev::get_scheduler() const {
    return m_sdiskscheduler;
}
void blkdev::set_label(const std::string& slabel) {
    m_slabel = slabel;
}
std::string blkdev::get_label() const {
    return m_slabel;
}
void blkdev::set_rotationspeed(int ispeed) {
    m_irotationspeed = ispeed;
}
int blkdev::get_rotationspeed() const {
    return m_irotationspeed;
}
void blkdev::set_isflashdisk(bool bisssd) {
    m_isflashdrive = bisssd;
}
bool blkdev::get_isflashdisk() const {
    return m_isflashdrive;
}
void blkdev::set_scsiversion(unsigned int uiversion) {
    m_uiscsiversion = uiversion;
}
unsigned int blkdev::get_scsiversion() const {
    return m_uiscsiversion;
}
void blkdev::set_devicetype(unsigned int uidevtype) {
    m_uidevicetype = uidevtype;
}
unsigned int blkdev::get_devicetype() const {
    return m_uidevicetype;
}
std::string blkdev::get_dev() const {
    return m_sdevicepath;
}

std::string blkdev::devnotostr() const {
    return utilities::itostr(m_imajor) + " : " + utilities::itostr(m_iminor);
}

void blkdev::logdevinfo() const {
    velka::detail::note(m_plogsrc, s_file, "blkdev::logdevinfo",
                        "Working on Block device: " + m_sdevicepath);
}

// ---- Partition tables: parted on the disk the record names ----

namespace {

const char* const s_partfile = "blkdev";

// parted joins its command-line words and splits them again into script words with a lexer
// of its own: words end at blanks, ' and " quote, a backslash inside quotes takes the next
// character as it is, and a word longer than 255 bytes is cut in two. Shell quoting does not
// reach that far, so a value that is not one parted word as it stands would become several
// (a flag "boot on rm 1" deletes partition 1).
const std::string::size_type s_maxpartedword = 255;

// parted runs with a UTF-8 locale, so that names beyond ASCII can be written and listed.
const char* const s_partedlocale = "C.UTF-8";

// Why a value cannot reach parted as one word; empty when it can. A bare value (a label, a
// flag, a position) must be one word as it stands. A name (bname) may be empty and may hold
// blanks, quotes and backslashes, which partedname quotes; a control character (parted would
// keep a line feed, which its listing cannot tell from the end of a record) is refused in
// both, as is a value too long for one word.
std::string notpartedword(const std::string& svalue, bool bname) {
    if (svalue.empty() && !bname) return "empty";
    if (svalue.size() > s_maxpartedword) return "longer than 255 bytes";
    for (unsigned char c : svalue) {
        if (c < 0x20 || c == 0x7f) return "holds a control character";
        if (!bname && (c == ' ' || c == '"' || c == '\'' || c == '\\'))
            return "holds a blank, a quote or a backslash";
    }
    return "";
}

// A name that notpartedword accepts as one parted word that parted reads back exactly: the
// name itself when it is a bare word, otherwise in double quotes with each backslash and
// double quote escaped.
std::string partedname(const std::string& sname) {
    if (notpartedword(sname, false).empty()) return sname;
    std::string sword = "\"";
    for (char c : sname) {
        if (c == '"' || c == '\\') sword += '\\';
        sword += c;
    }
    return sword + '"';
}

// A value for a log line: control characters written as \xNN.
std::string visible(const std::string& svalue) {
    static const char* const s_hex = "0123456789abcdef";
    std::string sout;
    for (unsigned char c : svalue) {
        if (c < 0x20 || c == 0x7f) {
            sout += "\\x";
            sout += s_hex[c >> 4];
            sout += s_hex[c & 0xf];
        } else {
            sout += static_cast<char>(c);
        }
    }
    return sout;
}

// Checks that each value is one parted word (bname: as a name); on the first that is not,
// logs which value and why and returns false.
bool partedwords(velka::logger::source* plog,
                 const char* stag,
                 std::initializer_list<const std::string*> lvalues,
                 bool bname = false) {
    for (const std::string* pvalue : lvalues) {
        std::string sreason = notpartedword(*pvalue, bname);
        if (!sreason.empty()) {
            velka::detail::refuse(plog, s_partfile, stag,
                                  "Value " + visible(*pvalue) + " refused: value " + sreason);
            return false;
        }
    }
    return true;
}

// GPT keeps a partition name as at most 36 UTF-16 code units; parted cuts a longer name and
// drops characters beyond the Basic Multilingual Plane (which would take two units each)
// with only a warning. Why a name cannot be kept whole in GPT; empty when it can.
std::string notgptname(const std::string& sname) {
    const auto* p = reinterpret_cast<const unsigned char*>(sname.data());
    std::string::size_type uunits = 0;
    for (std::string::size_type i = 0; i < sname.size(); ++uunits) {
        uint32_t ucode = p[i];
        size_t ulen = ucode < 0x80
                          ? 1
                          : velka::utilities::detail::utf8sequence(p + i, sname.size() - i, ucode);
        if (ulen == 0) return "is not valid UTF-8";
        if (ucode > 0xffff) return "holds a character outside the Basic Multilingual Plane";
        i += ulen;
    }
    if (uunits > 36) return "longer than 36 UTF-16 code units";
    return "";
}

// parted -s {device}  mklabel {label}
std::string mklabelcmd(const std::string& qdev, const std::string& qlabel) {
    return "parted -s " + qdev + "  mklabel " + qlabel;
}

// parted -s {device}  mkpart  {name}  {start}  {end}
std::string mkpartcmd(const std::string& qdev,
                      const std::string& qname,
                      const std::string& qstart,
                      const std::string& qend) {
    return "parted -s " + qdev + "  mkpart  " + qname + "  " + qstart + "  " + qend;
}

// parted -s {device}  set  {number}  {flag}  on
std::string setflagcmd(const std::string& qdev, int ipartition, const std::string& qflag) {
    return "parted -s " + qdev + "  set  " + utilities::itostr(ipartition) + "  " + qflag + "  on";
}

// parted  -s -m {device}  print 2>/dev/null
std::string printcmd(const std::string& qdev) {
    return "parted  -s -m " + qdev + "  print 2>/dev/null";
}

// Quotes each value in turn (operands refused when they begin with "-"); on the first refusal
// logs which value and why and returns false.
bool quoteall(velka::logger::source* plog,
              const char* stag,
              std::initializer_list<std::pair<const std::string*, std::string*>> lvalues) {
    for (const auto& v : lvalues) {
        if (!utilities::quoteoperand(*v.first, *v.second)) {
            velka::detail::refuse(plog, s_partfile, stag,
                                  "Value " + visible(*v.first) + " refused: value begins with '-'");
            return false;
        }
    }
    return true;
}

// Splits one record (its closing ";" removed) at every ":" that parted did not escape and
// decodes parted's escapes in the fields (a backslash before ":" or before a backslash stands
// for that character); empty fields are kept. A backslash before anything else is itself.
std::vector<std::string> partfields(const std::string& srecord) {
    std::vector<std::string> vfields(1);
    for (std::string::size_type i = 0; i < srecord.size(); ++i) {
        char c = srecord[i];
        if (c == '\\' && i + 1 < srecord.size() &&
            (srecord[i + 1] == ':' || srecord[i + 1] == '\\'))
            vfields.back() += srecord[++i];
        else if (c == ':')
            vfields.emplace_back();
        else
            vfields.back() += c;
    }
    return vfields;
}

// The number of ":" in a text that parted did not escape.
std::string::size_type separators(const std::string& stext) {
    return partfields(stext).size() - 1;
}

// Whether the line after a record still belongs to it. parted prints a name as it is, line
// feeds included, so a record whose name holds one spans lines: the record has stopped in its
// name field (isep, its separators so far, is five) and the next line holds the rest of the
// name, then at most the one separator before the flags. A record that already ends in ";"
// continues only when that next line ends in ";" too (a name such as "a;" and a line feed).
bool continues(std::string::size_type isep, const std::string& srecord, const std::string& snext) {
    if (isep != 5 || separators(snext) > 1) return false;
    if (srecord.empty() || srecord.back() != ';') return true;
    return !snext.empty() && snext.back() == ';';
}

// A partition number: 1 to 9 decimal digits, not 0.
bool partnumber(const std::string& sfield, int& inumber) {
    if (sfield.empty() || sfield.size() > 9 ||
        sfield.find_first_not_of("0123456789") != std::string::npos)
        return false;
    inumber = utilities::strtoi(sfield);
    return inumber > 0;
}

// The partition table type of a disk as parted's listing names it (the sixth field of its disk
// line: gpt, msdos, ...); empty when parted lists no disk line.
std::string tabletype(const std::string& qdev) {
    std::vector<std::string> vlines;
    if (utilities::popen(printcmd(qdev), vlines, 50, s_partedlocale) != 0 || vlines.size() < 2)
        return "";
    std::string sdisk = vlines[1];
    if (!sdisk.empty() && sdisk.back() == ';') sdisk.pop_back();
    std::vector<std::string> vf = partfields(sdisk);
    return vf.size() > 5 ? vf[5] : "";
}

}  // namespace

int parsepartitionlisting(const std::vector<std::string>& vlines,
                          std::vector<partitioninfo>& part_vec,
                          velka::logger::source* plogsrc) {
    const char* const stag = "blkdev::extractpartitioninfo";
    int icount = 0;
    // 1. The unit line and the disk line come first; partitions follow, one a record. A
    // record is one line unless its name holds a line feed.
    for (std::vector<std::string>::size_type i = 2; i < vlines.size(); ++i) {
        std::string sline = vlines[i];
        std::string::size_type isep = separators(sline);
        while (i + 1 < vlines.size() && continues(isep, sline, vlines[i + 1])) {
            isep += separators(vlines[++i]);
            sline += "\n" + vlines[i];
        }
        // 2. Every record of the listing ends in ";": one without it was cut short.
        if (sline.empty() || sline.back() != ';') {
            velka::detail::note(plogsrc, s_partfile, stag,
                                "Skipping incomplete partition line: " + visible(sline));
            continue;
        }
        // 3. number:start:end:size[:filesystem[:name[:flags]]], empty fields in place, ":" and
        // "\\" in the fields decoded.
        std::vector<std::string> vf = partfields(sline.substr(0, sline.size() - 1));
        if (vf.size() < 4 || vf[0].empty() || vf[1].empty() || vf[2].empty() || vf[3].empty()) {
            velka::detail::note(
                plogsrc, s_partfile, stag,
                "Skipping partition line with fewer than four fields: " + visible(sline));
            continue;
        }
        // 4. A file system on the whole disk, without a partition table.
        if (vf[1] == "0.00B") continue;
        partitioninfo part;
        if (!partnumber(vf[0], part.m_partitionnum)) {
            velka::detail::note(plogsrc, s_partfile, stag,
                                "Skipping partition line with bad number: " + visible(sline));
            continue;
        }
        part.m_start = vf[1];
        part.m_end = vf[2];
        part.m_size = vf[3];
        if (vf.size() > 4) part.m_fstype = vf[4];
        // 5. parted before 3.5 did not escape ":" in a name: with more than seven fields the
        // flags are the last field and the name all between.
        if (vf.size() > 5) {
            std::vector<std::string>::size_type ilast = vf.size() > 6 ? vf.size() - 1 : vf.size();
            for (std::vector<std::string>::size_type j = 5; j < ilast; ++j) {
                if (j > 5) part.m_name += ":";
                part.m_name += vf[j];
            }
            if (vf.size() > 6) part.m_flags = vf.back();
        }
        part_vec.push_back(part);
        ++icount;
    }
    return icount;
}

int blkdev::clearpartitiontable() {
    if (velka::detail::refusedinuse(m_plogsrc, s_partfile, "blkdev::clearpartitiontable",
                                    m_sdevicepath))
        return -1;
    int ifd = ::open(m_sdevicepath.c_str(), O_RDWR | O_CLOEXEC);
    if (ifd < 0) {
        int ierr = errno;
        velka::detail::failwhat(
            m_plogsrc, s_partfile, "blkdev::clearpartitiontable",
            "Failed to open block device " + m_sdevicepath + " error: " + strerror(ierr), "", ierr);
        return -1;
    }
    char zeroes[512] = {};
    ssize_t iwritten = ::pwrite(ifd, zeroes, sizeof(zeroes), 0);
    int ierr = errno;
    ::close(ifd);
    if (iwritten == static_cast<ssize_t>(sizeof(zeroes))) {
        velka::detail::note(m_plogsrc, s_partfile, "blkdev::clearpartitiontable",
                            "Successfully wiped partition table on block device " + m_sdevicepath);
        return 0;
    }
    velka::detail::failwhat(m_plogsrc, s_partfile, "blkdev::clearpartitiontable",
                            "Failed to wipe partition table on block device " + m_sdevicepath +
                                " error: " + (iwritten < 0 ? strerror(ierr) : "short write"),
                            "", ierr);
    return -1;
}

int blkdev::setlabel(const std::string& slabel) {
    const char* const stag = "blkdev::setlabel";
    std::string qdev, qlabel;
    if (!quoteall(m_plogsrc, stag, {{&m_sdevicepath, &qdev}, {&slabel, &qlabel}}) ||
        !partedwords(m_plogsrc, stag, {&slabel}) ||
        velka::detail::refusedinuse(m_plogsrc, s_partfile, stag, m_sdevicepath))
        return -1;
    std::string scmd = mklabelcmd(qdev, qlabel);
    velka::detail::note(
        m_plogsrc, s_partfile, stag,
        "Label " + slabel + " will be set on blkdev " + m_sdevicepath + " using command " + scmd);
    std::string sout, serr;
    int iret = velka::detail::system(scmd, sout, serr, s_partedlocale);
    if (iret == 0)
        velka::detail::note(m_plogsrc, s_partfile, stag,
                            "Successfully set label label on block device " + m_sdevicepath);
    else
        velka::detail::fail(
            m_plogsrc, s_partfile, stag,
            "Failed to set label on block device " + m_sdevicepath + " error: " + serr);
    return iret;
}

int blkdev::createpartition(const std::string& start,
                            const std::string& size,
                            const std::string& name) {
    const char* const stag = "blkdev::createpartition";
    std::string qdev, qname, qstart, qend;
    if (!quoteall(m_plogsrc, stag,
                  {{&m_sdevicepath, &qdev}, {&name, &qname}, {&start, &qstart}, {&size, &qend}}))
        return -1;
    if (!partedwords(m_plogsrc, stag, {&start, &size}) ||
        !partedwords(m_plogsrc, stag, {&name}, true) ||
        velka::detail::refusedinuse(m_plogsrc, s_partfile, stag, m_sdevicepath))
        return -1;
    // A name that GPT cannot hold whole: parted would cut it and still succeed. Only a name
    // longer than 36 bytes or beyond ASCII can be one, so only then is the table type asked.
    bool bascii = std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; });
    if ((name.size() > 36 || !bascii) && tabletype(qdev) == "gpt") {
        std::string sreason = notgptname(name);
        if (!sreason.empty()) {
            velka::detail::refuse(m_plogsrc, s_partfile, stag,
                                  "Value " + visible(name) + " refused: value " + sreason +
                                      ", which a GPT partition name cannot hold");
            return -1;
        }
    }
    qname = utilities::shellquote(partedname(name));
    std::string scmd = mkpartcmd(qdev, qname, qstart, qend);
    velka::detail::note(
        m_plogsrc, s_partfile, stag,
        "GPT partition will be created on block device " + m_sdevicepath + "using command " + scmd);
    std::string sout, serr;
    int iret = velka::detail::system(scmd, sout, serr, s_partedlocale);
    if (iret != 0) {
        velka::detail::fail(
            m_plogsrc, s_partfile, stag,
            "Failed to create GPT partition on block device " + m_sdevicepath + " error: " + serr);
        return iret;
    }
    velka::detail::note(m_plogsrc, s_partfile, stag,
                        "Successfully created GPT partition on block device " + m_sdevicepath);
    utilities::millisleep(100);
    velka::detail::note(m_plogsrc, s_partfile, stag,
                        "Will create a udev entry for newly created partition on " + m_sdevicepath);
    createudeventry();
    return 0;
}

int blkdev::setpartitionflag(int partition, const std::string& flag) {
    const char* const stag = "blkdev::markbiospartition";
    std::string qdev, qflag;
    if (!quoteall(m_plogsrc, stag, {{&m_sdevicepath, &qdev}, {&flag, &qflag}}) ||
        !partedwords(m_plogsrc, stag, {&flag}))
        return -1;
    // A number below 1 names no partition, and a negative one would reach parted as an
    // option.
    if (partition < 1) {
        velka::detail::refuse(
            m_plogsrc, s_partfile, stag,
            "Partition number " + utilities::itostr(partition) + " refused: not a partition");
        return -1;
    }
    std::string scmd = setflagcmd(qdev, partition, qflag);
    velka::detail::note(m_plogsrc, s_partfile, stag,
                        "GPT partition will be marked with flag " + flag + " on block device " +
                            m_sdevicepath + "using command " + scmd);
    std::string sout, serr;
    int iret = velka::detail::system(scmd, sout, serr, s_partedlocale);
    if (iret == 0)
        velka::detail::note(m_plogsrc, s_partfile, stag,
                            "Successfully set flag on partition in block device " + m_sdevicepath);
    else
        velka::detail::fail(
            m_plogsrc, s_partfile, stag,
            "Failed to set flag on partition in block device " + m_sdevicepath + " error: " + serr);
    return iret;
}

int blkdev::extractpartitioninfo(std::vector<partitioninfo>& part_vec) {
    const char* const stag = "blkdev::extractpartitioninfo";
    std::string qdev;
    if (!quoteall(m_plogsrc, stag, {{&m_sdevicepath, &qdev}})) return -1;
    std::string scmd = printcmd(qdev);
    velka::detail::note(
        m_plogsrc, s_partfile, stag,
        "partition table will be extracted for " + m_sdevicepath + " using command " + scmd);
    std::vector<std::string> vlines;
    int iret = utilities::popen(scmd, vlines, 50, s_partedlocale);
    // parted prints its unit line for every disk it can open, one without a label included;
    // no output at all is a parted that did not run (not installed, a disk it cannot open).
    if (iret == 0 && (vlines.empty() || vlines[0].empty())) iret = -1;
    if (iret != 0) {
        velka::detail::fail(m_plogsrc, s_partfile, stag,
                            "Failed to extract output of command " + scmd);
        return iret;
    }
    size_t ubefore = part_vec.size();
    parsepartitionlisting(vlines, part_vec, m_plogsrc);
    // parted lists a disk whose first sectors cannot be read (a medium error) like a blank
    // one: no partitions count only from a disk whose first sector reads.
    if (part_vec.size() == ubefore) {
        int ifd = ::open(m_sdevicepath.c_str(), O_RDONLY | O_CLOEXEC);
        char buf[512];
        ssize_t r = ifd < 0 ? -1 : pread(ifd, buf, sizeof(buf), 0);
        int ierr = errno;
        if (ifd >= 0) ::close(ifd);
        if (r < 0) {
            velka::detail::failwhat(
                m_plogsrc, s_partfile, stag,
                "Failed to read block device " + m_sdevicepath + " " + strerror(ierr),
                "read " + m_sdevicepath, ierr);
            return -1;
        }
    }
    return 0;
}

int blkdev::createudeventry() {
    const char* const stag = "blkdev::createudeventry";
    int iret = m_udev.create_entry(m_sdevicepath);
    if (iret != 0) {
        velka::detail::failcaught(m_plogsrc, s_partfile, stag,
                                  "Failed to create udev entry for " + m_sdevicepath);
        return iret;
    }
    std::vector<partitioninfo> vparts;
    extractpartitioninfo(vparts);
    velka::detail::note(m_plogsrc, s_partfile, stag,
                        "Found the following partitions in disk " + m_sdevicepath);
    for (const auto& part : vparts) {
        velka::detail::note(m_plogsrc, s_partfile, stag,
                            "Number: " + utilities::itostr(part.m_partitionnum) +
                                " Start: " + part.m_start + " End: " + part.m_end +
                                " Size: " + part.m_size + " File system type: " + part.m_fstype);
        std::string spart = utilities::get_partition_name(
            m_sdevicepath, static_cast<uint32_t>(part.m_partitionnum));
        iret = m_udev.create_entry(spart);
        if (iret != 0) {
            velka::detail::failcaught(m_plogsrc, s_partfile, stag,
                                      "Failed to create udev entry for " + spart);
            return iret;
        }
    }
    return 0;
}

// ---- Block device enumeration ----

namespace {

const char* const sysfs_fchost = "/sys/class/fc_host";
const char* const sysfs_sashost = "/sys/class/sas_host";
const char* const sysfs_scsidev = "/sys/bus/scsi/devices";
const char* const sysfs_blkdev = "/sys/block";
const char* const devfs_mntpath = "/dev";

// The logging handle of the directory filters, which have no object: set by each
// construction of a manager for its own scans. Constructions hold s_scanlock for their whole
// scan, so a filter always logs through the handle of the manager that is scanning.
velka::logger::source* plogsrc = nullptr;
std::mutex s_scanlock;

// The entries scandir returned, released with the list on every path.
class direntlist {
public:
    direntlist() : m_pplist(nullptr), m_icount(-1) {}
    ~direntlist() {
        for (int i = 0; i < m_icount; ++i) free(m_pplist[i]);
        free(m_pplist);
    }
    direntlist(const direntlist&) = delete;
    direntlist& operator=(const direntlist&) = delete;
    // scandir(sdir, filter, alphasort); the number of entries kept, or -1.
    int scan(const std::string& sdir, int (*filter)(const struct dirent*)) {
        m_icount = ::scandir(sdir.c_str(), &m_pplist, filter, alphasort);
        return m_icount;
    }
    const char* name(int i) const {
        return m_pplist[i]->d_name;
    }

private:
    struct dirent** m_pplist;
    int m_icount;
};

}  // namespace

// Keeps host class entries: names beginning with "host".
int host_select(const struct dirent* ent) {
    return ent->d_name[0] != '.' && strncmp(ent->d_name, "host", 4) == 0;
}

// Keeps the entries of /sys/bus/scsi/devices that are disks: a SCSI address of four decimal
// fields whose "block" directory holds exactly one kernel name with a block node under /dev,
// and whose peripheral type is a disk type.
int select(const struct dirent* ent) {
    std::string sname(ent->d_name);
    velka::detail::note(plogsrc, s_file, "select",
                        "Will check whether the provided device is a block device: " + sname);
    if (sname.empty() || sname[0] == '.') return 0;
    std::string sdir = std::string(sysfs_scsidev) + "/" + sname;
    if (!utilities::isdir(sdir) || !utilities::isdir(sdir + "/block")) return 0;
    std::list<std::string> lblock;
    if (utilities::readdir(sdir + "/block", lblock) != 0 || lblock.size() != 1) return 0;
    if (!utilities::isblkdev(std::string(devfs_mntpath) + "/" + lblock.front())) return 0;
    std::vector<char> vname(sname.begin(), sname.end());
    vname.push_back('\0');
    char sdelim[] = ":";
    std::list<std::string> lfields;
    utilities::tokenize(vname.data(), sdelim, lfields);
    if (lfields.size() != 4) return 0;
    for (const auto& sfield : lfields) {
        if (!isdigit(static_cast<unsigned char>(sfield[0]))) return 0;
    }
    // Only a disk is a managed disk: a CD/DVD drive also has one block device under its
    // address. The kernel writes the peripheral type in decimal.
    std::string stype = utilities::trim(utilities::read(sdir + "/type"));
    if (stype.empty() || stype.size() > 3 ||
        stype.find_first_not_of("0123456789") != std::string::npos) {
        velka::detail::note(plogsrc, s_file, "select",
                            "SCSI device " + sname + " has no peripheral type");
        return 0;
    }
    unsigned int uitype = utilities::strtoui(stype);
    if (!blkdevparams::isdisktype(uitype)) {
        velka::detail::note(plogsrc, s_file, "select",
                            "SCSI device " + sname +
                                " is not a disk: " + blkdevparams::peripheraltype(uitype) +
                                " (peripheral type " + stype + ")");
        return 0;
    }
    return 1;
}

// Keeps the entries of /sys/block named "nvme..." that are directories.
int selectnvme(const struct dirent* ent) {
    std::string sname(ent->d_name);
    velka::detail::note(plogsrc, s_file, "selectnvme",
                        "Will check whether the provided device is a nvme flash device: " + sname);
    if (sname.empty() || sname[0] == '.' || sname.compare(0, 4, "nvme") != 0) return 0;
    std::string spath = std::string(sysfs_blkdev) + "/" + sname;
    velka::detail::note(plogsrc, s_file, "selectnvme",
                        "Will check whether the provided path is a directory: " + spath);
    if (!utilities::isdir(spath)) return 0;
    velka::detail::note(plogsrc, s_file, "selectnvme",
                        "Provided device is a nvme flash device: " + sname);
    return 1;
}

blkdevmgr::blkdevmgr(velka::logger::source* plog) : blkdevparams(plog) {
    std::lock_guard<std::mutex> guard(s_scanlock);
    plogsrc = plog;
    enumeratescsitransporttypes();
    enumerateblkdevs();
    enumeratenvmeflashdevs();
    plogsrc = nullptr;
}

blkdevmgr::~blkdevmgr() {
    m_devindex.clear();
    m_sgindex.clear();
    m_lblkdevlist.clear();
    m_scsihostmap.clear();
}

void blkdevmgr::for_each_blkdev(blkdevmgr_cb cb, void* arg, void* device) {
    for (auto& bdev : m_lblkdevlist) cb(bdev, arg, device);
    // The callback may have changed a record's keys.
    reindex();
}

int blkdevmgr::get_blkdev_info(const std::string& skey,
                               match_factor_t efactor,
                               blkdev& bdev) const {
    const blkdev* pfound = nullptr;
    if (efactor == e_devfs_path || efactor == e_sg_path) {
        const auto& index = efactor == e_devfs_path ? m_devindex : m_sgindex;
        auto it = index.find(skey);
        if (it != index.end()) pfound = it->second;
    } else if (skey.empty() && !m_lblkdevlist.empty()) {
        pfound = &m_lblkdevlist.front();
    }
    if (pfound == nullptr) return -1;
    bdev = *pfound;
    return 0;
}

std::string blkdevmgr::decodetransporttype(scsitransport_t etxtype) {
    switch (etxtype) {
        case e_scsi:
            return "scsi";
        case e_sas:
            return "sas";
        case e_fc:
            return "fc";
        case e_iscsi:
            return "iscsi";
        default:
            return "unknown";
    }
}

// The SAS hosts first, then the Fibre Channel ones: a host in both classes is Fibre Channel.
void blkdevmgr::enumeratescsitransporttypes() {
    enumeratesashosts();
    enumeratefchosts();
}

int blkdevmgr::enumeratesashosts() {
    return enumeratescsihosts(sysfs_sashost, e_sas);
}

int blkdevmgr::enumeratefchosts() {
    return enumeratescsihosts(sysfs_fchost, e_fc);
}

// Every "host{N}" entry of the class directory maps SCSI host N to the transport. An entry
// without a digit names no host and is passed over.
int blkdevmgr::enumeratescsihosts(const std::string& ssysfspath, scsitransport_t transport) {
    direntlist entries;
    int icount = entries.scan(ssysfspath, host_select);
    if (icount < 0) return -1;
    for (int i = 0; i < icount; ++i) {
        const char* sname = entries.name(i);
        while (*sname != '\0' && !isdigit(static_cast<unsigned char>(*sname))) ++sname;
        if (*sname == '\0') continue;
        int ihost = atoi(sname);
        set_hosttransport(ihost, transport);
        velka::detail::note(m_plogsrc, s_file, "blkdevmgr::enumeratescsihosts",
                            utilities::itostr(ihost) + " : " + decodetransporttype(transport));
    }
    return 0;
}

int blkdevmgr::enumerateblkdevs() {
    direntlist entries;
    int icount = entries.scan(sysfs_scsidev, select);
    if (icount < 0) return -1;
    // The disks are examined several at a time: an examination mostly waits, for the disk's
    // SCSI commands and for blkid and udevadm. The records are listed in the directory's
    // order whatever order the examinations end in.
    std::vector<std::unique_ptr<blkdev>> vfound(static_cast<size_t>(icount));
    std::atomic<int> inext{0};
    auto worker = [&] {
        for (int i = inext++; i < icount; i = inext++) {
            vfound[i] = examinedisk(entries.name(i));
            if (!vfound[i])
                velka::detail::fail(m_plogsrc, s_file, "blkdevmgr::enumerateblkdevs",
                                    std::string("Failed to parse block device info @ ") +
                                        sysfs_blkdev + entries.name(i));
        }
    };
    unsigned int ucpus = std::thread::hardware_concurrency();
    int ithreads = std::min<int>(icount, 4 * static_cast<int>(ucpus == 0 ? 1 : ucpus));
    std::vector<std::thread> vthreads;
    for (int i = 1; i < ithreads; ++i) {
        try {
            vthreads.emplace_back(worker);
        } catch (const std::system_error&) {
            break;  // no more threads: the ones running, and this one, do the rest
        }
    }
    worker();
    for (auto& t : vthreads) t.join();
    for (const auto& p : vfound) {
        if (!p || p->get_transport() == e_fc || p->get_transport() == e_iscsi) continue;
        velka::detail::note(m_plogsrc, s_file, "blkdevmgr::parseblkdevinfo",
                            "Found a block device " + p->get_dev());
        addrecord(*p);
    }
    return 0;
}

// One SCSI disk: identity from its SCSI address directory, capacity and capabilities through
// its generic node, transport, label, then device numbers, removable flag and scheduler from
// its block directory; its udev entries are written. Listed unless Fibre Channel or iSCSI.
// Null when its "block" directory no longer names a disk (it went away after the filter).
// Reads the manager's host map only: several run at once.
std::unique_ptr<blkdev> blkdevmgr::examinedisk(const std::string& slegato) {
    std::string sscsidir = std::string(sysfs_scsidev) + "/" + slegato;
    std::list<std::string> lblock;
    if (utilities::readdir(sscsidir + "/block", lblock) != 0 || lblock.empty()) return nullptr;
    const std::string skname = lblock.front();
    std::unique_ptr<blkdev> pdev(new blkdev(std::string(devfs_mntpath) + "/" + skname, nullptr));
    blkdev& bdev = *pdev;
    bdev.set_legatopath(slegato);
    extractvendor(sscsidir, bdev);
    extractmodel(sscsidir, bdev);
    extractscsiversion(sscsidir, bdev);
    extractsgdev(sscsidir, devfs_mntpath, bdev);
    const std::string ssg = bdev.get_sgdev();
    extractblkdevcapacity(ssg, bdev);
    extractuuid(ssg, bdev);
    extractdevicetype(ssg, bdev);
    extractrotationspeed(ssg, bdev);
    extractprovisioninginfo(ssg, bdev);
    extracttransporttype(bdev);
    extractlabel(bdev);
    const std::string sblockdir = std::string(sysfs_blkdev) + "/" + skname;
    extractdevno(sblockdir, bdev);
    extractremovable(sblockdir, bdev);
    extractscheduler(sblockdir, bdev);
    bdev.createudeventry();
    return pdev;
}

int blkdevmgr::enumeratenvmeflashdevs() {
    direntlist entries;
    int icount = entries.scan(sysfs_blkdev, selectnvme);
    if (icount < 0) return -1;
    for (int i = 0; i < icount; ++i) {
        if (parsenvmeflashdevinfo(entries.name(i)) != 0)
            velka::detail::fail(m_plogsrc, s_file, "blkdevmgr::enumeratenvmeflashdevs",
                                std::string("Failed to parse nvme flash device info @ ") +
                                    sysfs_blkdev + entries.name(i));
    }
    return 0;
}

// One NVMe device: size and removable flag from /sys/block/{name}; always listed. Device
// numbers and udev entries only when its node exists under /dev.
int blkdevmgr::parsenvmeflashdevinfo(const std::string& snvme) {
    blkdev bdev(std::string(devfs_mntpath) + "/" + snvme, nullptr);
    const std::string sblockdir = std::string(sysfs_blkdev) + "/" + snvme;
    extractsize(sblockdir, bdev);
    bdev.set_transport(e_nvme);
    bdev.set_rotationspeed(1);
    bdev.set_isflashdisk(true);
    extractremovable(sblockdir, bdev);
    int imajor = 0, iminor = 0;
    if (utilities::isblkdev(bdev.get_dev(), imajor, iminor)) {
        bdev.set_major(imajor);
        bdev.set_minor(iminor);
        bdev.createudeventry();
    }
    addrecord(bdev);
    velka::detail::note(m_plogsrc, s_file, "blkdevmgr::parsenvmeflashdevinfo",
                        "Found a nvme flash device " + snvme);
    return 0;
}

void blkdevmgr::addrecord(const blkdev& bdev) {
    m_lblkdevlist.push_back(bdev);
    const blkdev* prec = &m_lblkdevlist.back();
    m_devindex.insert(std::make_pair(prec->get_dev(), prec));
    m_sgindex.insert(std::make_pair(prec->get_sgdev(), prec));
}

void blkdevmgr::reindex() {
    m_devindex.clear();
    m_sgindex.clear();
    for (const auto& bdev : m_lblkdevlist) {
        m_devindex.insert(std::make_pair(bdev.get_dev(), &bdev));
        m_sgindex.insert(std::make_pair(bdev.get_sgdev(), &bdev));
    }
}

std::vector<partitioninfo> blkdev::extractpartitioninfo() {
    std::vector<partitioninfo> vparts;
    extractpartitioninfo(vparts);
    return vparts;
}

void blkdevmgr::for_each_blkdev(const std::function<void(blkdev&)>& fn) {
    if (!fn) return;
    for (auto& bdev : m_lblkdevlist) fn(bdev);
    // The callback may have changed a record's keys.
    reindex();
}

std::vector<blkdev> blkdevmgr::get_blkdevs() const {
    return std::vector<blkdev>(m_lblkdevlist.begin(), m_lblkdevlist.end());
}

}  // namespace blkdev
}  // namespace velka
