// PCI functions and their kernel modules: lists /sys/bus/pci/devices in bus order, reads each
// function's configuration space (ids and class code), names the class from a fixed table and
// matches every function against a module table in modules.alias or modules.pcimap format,
// adding the fixed companion modules some drivers need. The table is read once per matching
// run and then searched in file order for every function; the first fitting entry wins, and
// what is logged per function is the same as if the file were read again for each one.
#include <velka/pci>

#include "internal/pci.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <velka/fileio>
#include <velka/utilities>
#include "failure.h"

namespace velka {
namespace pci {

const std::string s_sysfsmnt = "/sys";
const std::string s_pcisysfsdir = "/bus/pci/devices/";

namespace {

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "pci.cpp";
// Bytes of the standard configuration header the enumerator reads; unprivileged readers get
// only 64 from the kernel.
const int s_cfgspacesize = 256;
const unsigned int s_any = 0xFFFFFFFF;

// The separators of an alias pattern: ':', 'b', 'c', 'd', 'i', 'p', 's', 'v'.
bool isaliasdelim(char c) {
    switch (c) {
        case ':':
        case 'b':
        case 'c':
        case 'd':
        case 'i':
        case 'p':
        case 's':
        case 'v':
            return true;
        default:
            return false;
    }
}

bool isblank_c(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexdigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A number in hexadecimal as the C++ stream extraction reads it into an unsigned int: leading
// hexadecimal digits up to the first other character, 0 when there are none, the largest
// value when it does not fit. The common form (digits, no sign, no 0x prefix) is read here;
// anything else goes through the stream itself, so both always agree.
unsigned int streamhex(const char* pb, const char* pe) {
    if (pb == pe) return 0;
    bool bplain =
        hexdigit(*pb) >= 0 && !(pe - pb > 1 && *pb == '0' && (pb[1] == 'x' || pb[1] == 'X'));
    if (bplain) {
        unsigned long long ull = 0;
        for (const char* p = pb; p != pe; ++p) {
            int d = hexdigit(*p);
            if (d < 0) break;
            ull = (ull << 4) | static_cast<unsigned int>(d);
            if (ull > 0xFFFFFFFFull) return 0xFFFFFFFF;
        }
        return static_cast<unsigned int>(ull);
    }
    std::istringstream iss(std::string(pb, pe));
    unsigned int ui = 0;
    iss >> std::hex >> ui;
    return ui;
}

// "*" is any value; anything else as streamhex.
unsigned int tou32(const char* pb, const char* pe) {
    if (pe - pb == 1 && *pb == '*') return s_any;
    return streamhex(pb, pe);
}

unsigned char tou8(const char* pb, const char* pe) {
    if (pe - pb == 1 && *pb == '*') return 0xFF;
    return static_cast<unsigned char>(streamhex(pb, pe) & 0xFF);
}

// Parses a modules.alias pattern such as pci:v00008086d000010D3sv*sd*bc*sc*i*: the text (up to
// a NUL, as a C string ends) is split at every one of ':', 'b', 'c', 'd', 'i', 'p', 's', 'v'
// into non-empty tokens; exactly seven are needed: vendor, device, subsystem vendor,
// subsystem device, base class, subclass, interface. Lower-case hexadecimal b, c and d split
// too, as the kernel writes upper case. 0, or -1 for another number of tokens.
int parsealiaspattern(const char* pb, const char* pe, pci& dev) {
    const char* pnul = static_cast<const char*>(memchr(pb, '\0', static_cast<size_t>(pe - pb)));
    if (pnul != nullptr) pe = pnul;
    const char* atok[7][2];
    int itokens = 0;
    const char* p = pb;
    while (p != pe) {
        while (p != pe && isaliasdelim(*p)) ++p;
        if (p == pe) break;
        const char* pstart = p;
        while (p != pe && !isaliasdelim(*p)) ++p;
        if (itokens == 7) return -1;
        atok[itokens][0] = pstart;
        atok[itokens][1] = p;
        ++itokens;
    }
    if (itokens != 7) return -1;
    dev.set_vendorid(tou32(atok[0][0], atok[0][1]));
    dev.set_deviceid(tou32(atok[1][0], atok[1][1]));
    dev.set_ssvendorid(tou32(atok[2][0], atok[2][1]));
    dev.set_ssdeviceid(tou32(atok[3][0], atok[3][1]));
    unsigned int uibase = tou8(atok[4][0], atok[4][1]);
    unsigned int uisub = tou8(atok[5][0], atok[5][1]);
    unsigned int uiif = tou8(atok[6][0], atok[6][1]);
    dev.set_class(((uibase & 0xFF) << 16) | ((uisub & 0xFF) << 8) | (uiif & 0xFF));
    dev.set_mask(0);
    return 0;
}

// The next word of [p, pe) separated by white space; false when there is none.
bool nextword(const char*& p, const char* pe, const char*& pwb, const char*& pwe) {
    while (p != pe && isblank_c(*p)) ++p;
    if (p == pe) return false;
    pwb = p;
    while (p != pe && !isblank_c(*p)) ++p;
    pwe = p;
    return true;
}

unsigned int readhex(const char* p, bool& bok) {
    char* pend = nullptr;
    errno = 0;
    unsigned long ul = strtoul(p, &pend, 16);
    bok = pend != p;
    return static_cast<unsigned int>(ul);
}

int scanselect(const struct dirent* ent) {
    return select(ent);
}

int scansort(const struct dirent** lptr, const struct dirent** rptr) {
    return sort(lptr, rptr);
}

// Owns the list scandir returns.
class direntlist {
public:
    direntlist() : m_pplist(nullptr), m_in(0) {}
    ~direntlist() {
        for (int i = 0; i < m_in; ++i) free(m_pplist[i]);
        free(m_pplist);
    }
    direntlist(const direntlist&) = delete;
    direntlist& operator=(const direntlist&) = delete;
    struct dirent** m_pplist;
    int m_in;
};

}  // namespace

// One module table as read for one matching run: its entries in file order. An alias table
// keeps only its "pci:" lines (malformed patterns included, so that each search passing one
// logs it as a search of the file would); a pcimap table keeps every line but comments.
struct pci_cfg::drivertable {
    // The ids, class and mask of a pattern, and its module (or the pattern text of a
    // malformed one).
    struct entry {
        unsigned int uivendor, uidevice, uissvendor, uissdevice, uiclass, uimask;
        std::string stext;
        bool bmalformed;
        // The pattern record the matching rules take.
        void fill(pci& pattern) const {
            pattern.set_vendorid(uivendor);
            pattern.set_deviceid(uidevice);
            pattern.set_ssvendorid(uissvendor);
            pattern.set_ssdeviceid(uissdevice);
            pattern.set_class(uiclass);
            pattern.set_mask(uimask);
        }
    };
    // Vendor and device of each entry, side by side and small, so that a search passes over
    // entries of other vendors quickly; a malformed entry always stops the search (0 = any).
    struct key {
        unsigned int uivendor;
        unsigned int uidevice;
    };
    drivertable() : busable(false) {}
    void add(const pci& pattern, bool bmalformed, const std::string& stext) {
        lentries.push_back({pattern.get_vendorid(), pattern.get_deviceid(),
                            pattern.get_ssvendorid(), pattern.get_ssdeviceid(), pattern.get_class(),
                            pattern.get_mask(), stext, bmalformed});
        key k = {pattern.get_vendorid(), pattern.get_deviceid()};
        if (bmalformed) k.uivendor = k.uidevice = s_any;
        lkeys.push_back(k);
    }
    // The next entry from ipos on that may fit a function of these ids (its vendor and device
    // each any or equal: needed by both matching rules), or a malformed one; the size at the
    // end. The caller decides with the full rule.
    size_t next(size_t ipos, unsigned int uivendor, unsigned int uidevice) const {
        const size_t usize = lkeys.size();
        const key* pkeys = lkeys.data();
        for (; ipos < usize; ++ipos) {
            const key& k = pkeys[ipos];
            if ((k.uivendor == s_any || k.uivendor == uivendor) &&
                (k.uidevice == s_any || k.uidevice == uidevice))
                break;
        }
        return ipos;
    }
    bool busable;
    std::string smessage;  // why the table is not usable, logged for every function
    std::vector<entry> lentries;
    std::vector<key> lkeys;
};

// ---- pci_loc ----

pci_loc::pci_loc() : m_uizone(0), m_uibus(0), m_uidevice(0), m_uifunction(0) {}
unsigned int pci_loc::get_zone() const {
    return m_uizone;
}
unsigned int pci_loc::get_bus() const {
    return m_uibus;
}
unsigned int pci_loc::get_device() const {
    return m_uidevice;
}
unsigned int pci_loc::get_function() const {
    return m_uifunction;
}
void pci_loc::set_zone(unsigned int uizone) {
    m_uizone = uizone;
}
void pci_loc::set_bus(unsigned int uibus) {
    m_uibus = uibus;
}
void pci_loc::set_device(unsigned int uidevice) {
    m_uidevice = uidevice;
}
void pci_loc::set_function(unsigned int uifunction) {
    m_uifunction = uifunction;
}
unsigned int pci_loc::busid() const {
    return ((m_uibus << 8) & 0xFFFF) | ((m_uidevice << 3) & 0xFF) | (m_uifunction & 7);
}

// ---- bus-id names ----

// 1. null or empty fails; 2. domain at the start; 3. bus after the next ':'; 4. device after
// the next ':'; 5. function after the next '.'; each read as by "%x" (white space, sign and
// 0x prefix allowed, at least one digit).
int parse_busid(const char* sname, pci_loc& loc) {
    if (sname == nullptr || *sname == '\0') return -1;
    unsigned int uizone = 0, uibus = 0, uidevice = 0, uifunction = 0;
    bool bok = false;
    uizone = readhex(sname, bok);
    if (!bok) return -1;
    const char* p = strchr(sname, ':');
    if (p == nullptr) return -1;
    uibus = readhex(++p, bok);
    if (!bok) return -1;
    p = strchr(p, ':');
    if (p == nullptr) return -1;
    uidevice = readhex(++p, bok);
    if (!bok) return -1;
    p = strchr(p, '.');
    if (p == nullptr) return -1;
    uifunction = readhex(++p, bok);
    if (!bok) return -1;
    loc.set_zone(uizone);
    loc.set_bus(uibus);
    loc.set_device(uidevice);
    loc.set_function(uifunction);
    return 0;
}

int select(const struct dirent* ent) {
    if (ent == nullptr || ent->d_name[0] == '.') return 0;
    if (strchr(ent->d_name, ':') == nullptr) return 0;
    pci_loc loc;
    return parse_busid(ent->d_name, loc) == 0 ? 1 : 0;
}

int sort(const void* lptr, const void* rptr) {
    const struct dirent* pl = *static_cast<const struct dirent* const*>(lptr);
    const struct dirent* pr = *static_cast<const struct dirent* const*>(rptr);
    pci_loc lloc, rloc;
    int ret = parse_busid(pl->d_name, lloc);
    assert(ret == 0);
    ret = parse_busid(pr->d_name, rloc);
    assert(ret == 0);
    (void)ret;
    return static_cast<int>(lloc.busid() - rloc.busid());
}

// ---- pci ----

pci::pci(velka::logger::source* plogsrc)
    : m_uizone(0),
      m_uibusid(0),
      m_uivendorid(0),
      m_uideviceid(0),
      m_uisubsysvendorid(0),
      m_uisusbsysdeviceid(0),
      m_uiclass(0),
      m_uisubclass(0),
      m_uimask(0),
      m_plogsrc(plogsrc) {}

pci::pci(const pci& rhpci) = default;
pci::~pci() {}

unsigned int pci::get_zone() const {
    return m_uizone;
}
void pci::set_zone(unsigned int uizone) {
    m_uizone = uizone;
}
unsigned int pci::get_busid() const {
    return m_uibusid;
}
void pci::set_busid(unsigned int uibusid) {
    m_uibusid = uibusid;
}
unsigned int pci::get_vendorid() const {
    return m_uivendorid;
}
void pci::set_vendorid(unsigned int uivendorid) {
    m_uivendorid = uivendorid;
}
unsigned int pci::get_deviceid() const {
    return m_uideviceid;
}
void pci::set_deviceid(unsigned int uideviceid) {
    m_uideviceid = uideviceid;
}
unsigned int pci::get_ssvendorid() const {
    return m_uisubsysvendorid;
}
void pci::set_ssvendorid(unsigned int uissvendorid) {
    m_uisubsysvendorid = uissvendorid;
}
unsigned int pci::get_ssdeviceid() const {
    return m_uisusbsysdeviceid;
}
void pci::set_ssdeviceid(unsigned int uissdeviceid) {
    m_uisusbsysdeviceid = uissdeviceid;
}
unsigned int pci::get_class() const {
    return m_uiclass;
}
void pci::set_class(unsigned int uiclass) {
    m_uiclass = uiclass;
}
unsigned int pci::get_sclass() const {
    return m_uisubclass;
}
void pci::set_sclass(unsigned int uisclass) {
    m_uisubclass = uisclass;
}
unsigned int pci::get_mask() const {
    return m_uimask;
}
void pci::set_mask(unsigned int uimask) {
    m_uimask = uimask;
}
const std::list<std::string>& pci::get_driver() const {
    return m_lsdriver;
}
std::string pci::get_classdesc() const {
    return m_sclassdesc;
}

velka::logger::source* pci::get_logsrc() const {
    return m_plogsrc;
}
void pci::set_classdesc(const std::string& sdesc) {
    m_sclassdesc = sdesc;
}

void pci::set_driver(const std::string& s_driver) {
    m_lsdriver.push_back(s_driver);
}

void pci::set_driver(const std::list<std::string>& ldriver) {
    for (const auto& s : ldriver) m_lsdriver.push_back(s);
}

unsigned int pci::get_bus() const {
    return (m_uibusid >> 8) & 0xFF;
}
unsigned int pci::get_device() const {
    return (m_uibusid >> 3) & 0x1F;
}
unsigned int pci::get_function() const {
    return m_uibusid & 7;
}

std::string pci::tostr() const {
    char buf[512];
    snprintf(buf, sizeof(buf), "%0#4x:%0#4x:%0#4x:%0#2x %0#8x %0#8x %0#8x %0#8x %0#8x | %s ",
             m_uizone, get_bus(), get_device(), get_function(), m_uivendorid, m_uideviceid,
             m_uisubsysvendorid, m_uisusbsysdeviceid, m_uiclass, m_sclassdesc.c_str());
    return buf;
}

std::string pci::signature() const {
    char buf[512];
    snprintf(buf, sizeof(buf), "%0#4x:%0#4x:%0#4x:%0#2x %0#8x %0#8x %0#8x %0#8x", m_uizone,
             get_bus(), get_device(), get_function(), m_uivendorid, m_uideviceid,
             m_uisubsysvendorid, m_uisusbsysdeviceid);
    return buf;
}

std::string pci::get_drivers() const {
    std::list<std::string> l(m_lsdriver);
    std::string sdelim(" ");
    return utilities::merge(l, sdelim);
}

std::string pci::busidtostr() const {
    return utilities::itostr(static_cast<int>(get_bus())) + ":" +
           utilities::itostr(static_cast<int>(get_device())) + ":" +
           utilities::itostr(static_cast<int>(get_function()));
}

bool pci::match(const pci& rhpci) const {
    if (rhpci.m_uivendorid != s_any && rhpci.m_uivendorid != m_uivendorid) return false;
    if (rhpci.m_uideviceid != s_any && rhpci.m_uideviceid != m_uideviceid) return false;
    if (rhpci.m_uisubsysvendorid != s_any && rhpci.m_uisubsysvendorid != m_uisubsysvendorid)
        return false;
    if (rhpci.m_uisusbsysdeviceid != s_any && rhpci.m_uisusbsysdeviceid != m_uisusbsysdeviceid)
        return false;
    return true;
}

bool pci::operator==(const pci& rhpci) const {
    return match(rhpci) && (m_uiclass & rhpci.m_uimask) == rhpci.m_uiclass;
}

// Each class byte of the pattern (base class, subclass, programming interface) is any value
// when 0xFF ("*" in the alias), else must equal the device's, as the kernel's own matching
// compares the interface too: pci:v*d*sv*sd*bc0Csc03i30* is an xHCI controller only.
bool pci::compatiable(const pci& rhpci) const {
    if (!match(rhpci)) return false;
    for (int ishift : {16, 8, 0}) {
        unsigned int uibyte = (rhpci.m_uiclass >> ishift) & 0xFF;
        if (uibyte != 0xFF && uibyte != ((m_uiclass >> ishift) & 0xFF)) return false;
    }
    return true;
}

// ---- pci_cfg ----

// 1. store the arguments; 2. class names; 3.-5. scan the sysfs directory (filtered, in bus
// order), nothing more when it lists no function; 6. engine; 7. read each function's first
// 256 configuration bytes (a function whose file cannot be opened or gives fewer bytes is
// logged and skipped); 8. match drivers.
pci_cfg::pci_cfg(const std::string& s_map_file,
                 pci_driver_parsing_engines enginetype,
                 velka::logger::source* plogsrc)
    : m_sdrivermap(s_map_file),
      m_plogsrc(plogsrc),
      m_driverengine_type(enginetype),
      m_driverengine(nullptr),
      m_ptable(nullptr) {
    const char* stag = "pci_cfg::pci_cfg";
    m_ldevicelist.clear();
    m_pciclassmap.clear();
    build_classmap();
    std::string sdir = s_sysfsmnt + s_pcisysfsdir;
    velka::detail::note(m_plogsrc, s_file, stag, sdir);
    direntlist entries;
    entries.m_in = scandir(sdir.c_str(), &entries.m_pplist, scanselect, scansort);
    velka::detail::note(m_plogsrc, s_file, stag, utilities::itostr(entries.m_in));
    if (entries.m_in < 1) {
        if (entries.m_in < 0) entries.m_in = 0;
        velka::detail::fail(m_plogsrc, s_file, stag, "Failed to parse PCI subsystem");
        return;
    }
    if (m_driverengine_type == pcimap_engine) {
        velka::detail::note(m_plogsrc, s_file, stag, "Will use modules.pcimap driver engine");
        m_driverengine = &pci_cfg::pcimap_driverengine;
    } else if (m_driverengine_type == alias_engine) {
        velka::detail::note(m_plogsrc, s_file, stag, "Will use modules.alias driver engine");
        m_driverengine = &pci_cfg::alias_driverengine;
    } else {
        velka::detail::fail(m_plogsrc, s_file, stag,
                            "No driver engine for engine type " +
                                utilities::itostr(static_cast<int>(m_driverengine_type)));
    }
    for (int i = 0; i < entries.m_in; ++i) {
        std::string sname = entries.m_pplist[i]->d_name;
        std::string spath = sdir + "/" + sname + "/config";
        velka::fileio::fileio cfgfile;
        if (cfgfile.open(spath, O_RDONLY) != 0) {
            int ierr = cfgfile.geterrno();
            velka::detail::failwhat(m_plogsrc, s_file, stag,
                                    "Failed to open " + spath + " " + strerror(ierr), "", ierr);
            continue;
        }
        unsigned char acfg[s_cfgspacesize];
        errno = 0;
        int iread = cfgfile.read(reinterpret_cast<char*>(acfg), s_cfgspacesize);
        int ierr = iread < 0 ? cfgfile.geterrno() : errno;
        if (iread != s_cfgspacesize) {
            velka::detail::failwhat(
                m_plogsrc, s_file, stag,
                "Failed to read pci cfg space from " + spath + " " + strerror(ierr), "", ierr);
            continue;
        }
        pci dev(nullptr);
        parse_cfg_space(acfg, iread, sname, dev);
        dev.set_classdesc(pciclass(dev.get_class()));
        m_ldevicelist.push_back(dev);
    }
    enumerate_drivers();
}

pci_cfg::~pci_cfg() {
    m_ldevicelist.clear();
    m_pciclassmap.clear();
}

void pci_cfg::for_each_pci(cfg_cb cb, void* arg) {
    if (cb == nullptr) return;
    for (auto& dev : m_ldevicelist) cb(dev, arg);
}

// Little-endian: vendor 0x00, device 0x02, class code 0x09-0x0B (the dword at 0x08 without
// its revision byte); the subsystem ids where the header type (0x0E, without its
// multi-function bit) keeps them: type 0 at 0x2C/0x2E, a CardBus bridge (type 2) at
// 0x40/0x42, a PCI-to-PCI bridge (type 1) in its subsystem-ID capability (0x0D, ids at +4/+6)
// when it has one; 0 otherwise. The enumerator hands over the full 256-byte header; fewer
// bytes than the standard fields need is -1.
int pci_cfg::parse_cfg_space(const unsigned char* pcfgspace,
                             int cfg_size,
                             const std::string& s_dev,
                             pci& dev_info) {
    if (pcfgspace == nullptr || cfg_size < 0x30) return -1;
    auto le16 = [pcfgspace, cfg_size](int ioff) {
        if (ioff + 1 >= cfg_size) return 0u;
        return static_cast<unsigned int>(pcfgspace[ioff]) |
               (static_cast<unsigned int>(pcfgspace[ioff + 1]) << 8);
    };
    auto le32 = [&le16](int ioff) { return le16(ioff) | (le16(ioff + 2) << 16); };
    pci_loc loc;
    parse_busid(s_dev.c_str(), loc);
    dev_info.set_zone(loc.get_zone());
    dev_info.set_busid(loc.busid());
    dev_info.set_vendorid(le16(0x00));
    dev_info.set_deviceid(le16(0x02));
    dev_info.set_class(le32(0x08) >> 8);
    int isubsys = -1;
    switch (pcfgspace[0x0E] & 0x7F) {
        case 0:
            isubsys = 0x2C;
            break;
        case 2:
            isubsys = 0x40;
            break;
        case 1:
            // The capability list (status bit 4): at most 48 entries, each at a dword
            // boundary past the standard header.
            if ((le16(0x06) & 0x10) == 0) break;
            for (int ipos = le16(0x34) & 0xFC, icount = 0; ipos >= 0x40 && icount < 48;
                 ipos = (le16(ipos) >> 8) & 0xFC, ++icount) {
                if (ipos + 8 > cfg_size) break;
                if (pcfgspace[ipos] == 0x0D) {
                    isubsys = ipos + 4;
                    break;
                }
            }
            break;
        default:
            break;
    }
    dev_info.set_ssvendorid(isubsys < 0 ? 0 : le16(isubsys));
    dev_info.set_ssdeviceid(isubsys < 0 ? 0 : le16(isubsys + 2));
    return 0;
}

// Logs the table path, loads it once and runs the engine over every record, logging each with
// its modules or " | unknown driver ".
void pci_cfg::enumerate_drivers() {
    const char* stag = "pci_cfg::enumerate_drivers";
    velka::detail::note(m_plogsrc, s_file, stag, m_sdrivermap);
    drivertable table;
    if (m_driverengine != nullptr) {
        opentable(table);
    }
    m_ptable = &table;
    for (auto& dev : m_ldevicelist) {
        bool bfound = m_driverengine != nullptr && (this->*m_driverengine)(dev);
        if (bfound)
            velka::detail::note(m_plogsrc, s_file, stag, dev.tostr() + " |" + dev.get_drivers());
        else
            velka::detail::note(m_plogsrc, s_file, stag, dev.tostr() + " | unknown driver ");
    }
    m_ptable = nullptr;
}

// stat, regular file, open, then the whole file split into lines as a line-by-line read gives them
// (a last line without newline counts; no empty line after a final newline). Comment lines
// ('#' first) are dropped; alias lines that are not "pci:" aliases too.
bool pci_cfg::opentable(drivertable& table) {
    struct stat st;
    if (stat(m_sdrivermap.c_str(), &st) != 0) {
        int ierr = errno;
        table.smessage = m_sdrivermap + " stat failed with error " + strerror(ierr);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        table.smessage = m_sdrivermap + " is not a regular file";
        return false;
    }
    // A table that cannot be opened is said so, like one that cannot be found, rather than
    // passing for a table without a fitting entry.
    velka::fileio::fileio table_file;
    if (table_file.open(m_sdrivermap, O_RDONLY) != 0) {
        int ierr = table_file.geterrno();
        table.smessage = "Failed to open " + m_sdrivermap + " " + strerror(ierr);
        return false;
    }
    table.busable = true;
    // Read in blocks; a line is handled once it is complete (or the file has ended).
    bool balias = m_driverengine_type == alias_engine;
    table.lentries.reserve(static_cast<size_t>(st.st_size) / 128);
    table.lkeys.reserve(static_cast<size_t>(st.st_size) / 128);
    pci pattern(nullptr);
    std::string spattern, smodule;
    auto online = [&](const char* p, const char* pe) {
        if (balias) {
            int iret = parse_aliasline(p, static_cast<size_t>(pe - p), pattern, spattern, smodule);
            if (iret > 0) return;
            table.add(pattern, iret < 0, iret < 0 ? spattern : smodule);
        } else if (parse_pcimapline(std::string(p, pe), pattern, smodule) == 0) {
            table.add(pattern, false, smodule);
        }
    };
    std::vector<char> vbuf(64 * 1024);
    size_t ufill = 0;
    for (;;) {
        if (ufill == vbuf.size()) vbuf.resize(vbuf.size() * 2);
        int iread = table_file.read(vbuf.data() + ufill, static_cast<int>(vbuf.size() - ufill));
        bool bend = iread <= 0;
        if (!bend) ufill += static_cast<size_t>(iread);
        const char* p = vbuf.data();
        const char* pend = p + ufill;
        for (;;) {
            const char* pnl =
                static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(pend - p)));
            if (pnl == nullptr) break;
            online(p, pnl);
            p = pnl + 1;
        }
        if (bend) {
            if (p != pend) online(p, pend);
            break;
        }
        ufill = static_cast<size_t>(pend - p);
        memmove(vbuf.data(), p, ufill);
    }
    return true;
}

// 1. words: keyword (not examined), pattern, module; 2. only "pci:" patterns; 3. the pattern's
// ids and class bytes.
int parse_aliasline(
    const char* pline, size_t ulen, pci& pattern, std::string& spattern, std::string& smodule) {
    if (pline == nullptr || ulen == 0 || pline[0] == '#') return 1;
    const char* p = pline;
    const char* pe = pline + ulen;
    const char *pkb, *pke, *ppb, *ppe, *pmb, *pme;
    if (!nextword(p, pe, pkb, pke)) return 1;
    // Most lines of a kernel's table name other buses: look at the start of the pattern first.
    while (p != pe && isblank_c(*p)) ++p;
    if (pe - p < 4 || memcmp(p, "pci:", 4) != 0) return 1;
    if (!nextword(p, pe, ppb, ppe)) return 1;
    pattern = pci(nullptr);
    if (parsealiaspattern(ppb, ppe, pattern) != 0) {
        spattern.assign(ppb, ppe);
        return -1;
    }
    if (nextword(p, pe, pmb, pme))
        smodule.assign(pmb, pme);
    else
        smodule.clear();
    return 0;
}

// Module name, then vendor, device, subsystem vendor, subsystem device, class, class mask and
// driver data in hexadecimal (0x allowed), as a stream reads them: a number missing or
// unreadable leaves it and the rest 0.
int parse_pcimapline(const std::string& sline, pci& pattern, std::string& smodule) {
    if (!sline.empty() && sline[0] == '#') return 1;
    std::istringstream iss(sline);
    unsigned int uivendor = 0, uidevice = 0, uissvendor = 0, uissdevice = 0, uiclass = 0,
                 uimask = 0, uidata = 0;
    smodule.clear();
    iss >> smodule;
    iss >> std::hex >> uivendor >> uidevice >> uissvendor >> uissdevice >> uiclass >> uimask >>
        uidata;
    (void)uidata;
    pattern = pci(nullptr);
    pattern.set_vendorid(uivendor);
    pattern.set_deviceid(uidevice);
    pattern.set_ssvendorid(uissvendor);
    pattern.set_ssdeviceid(uissdevice);
    pattern.set_class(uiclass);
    pattern.set_mask(uimask);
    return 0;
}

// The alias table in file order: a malformed pattern passed is logged ("Failed to parse "),
// the first compatible pattern gives its module with the companion modules around it.
bool pci_cfg::alias_driverengine(pci& dev_tomatch) {
    if (m_ptable == nullptr) return false;
    if (!m_ptable->busable) {
        velka::detail::fail(m_plogsrc, s_file, "pci_cfg::alias_driverengine", m_ptable->smessage);
        return false;
    }
    const drivertable& t = *m_ptable;
    pci pattern(nullptr);
    const unsigned int uivendor = dev_tomatch.get_vendorid(), uidevice = dev_tomatch.get_deviceid();
    for (size_t i = t.next(0, uivendor, uidevice); i < t.lentries.size();
         i = t.next(i + 1, uivendor, uidevice)) {
        const drivertable::entry& e = t.lentries[i];
        if (e.bmalformed) {
            velka::detail::fail(m_plogsrc, s_file, "pci_cfg::parse_aliasmap_entry",
                                "Failed to parse " + e.stext);
            continue;
        }
        e.fill(pattern);
        if (!dev_tomatch.compatiable(pattern)) continue;
        std::list<std::string> lpre, lpost;
        get_dependencies(e.stext, lpre, lpost);
        dev_tomatch.set_driver(lpre);
        dev_tomatch.set_driver(e.stext);
        dev_tomatch.set_driver(lpost);
        return true;
    }
    return false;
}

// The pcimap table in file order: the first pattern the function equals (ids, class under
// the mask) gives its module with the companion modules around it.
bool pci_cfg::pcimap_driverengine(pci& dev_tomatch) {
    if (m_ptable == nullptr) return false;
    if (!m_ptable->busable) {
        velka::detail::fail(m_plogsrc, s_file, "pci_cfg::match_driver", m_ptable->smessage);
        return false;
    }
    const drivertable& t = *m_ptable;
    pci pattern(nullptr);
    const unsigned int uivendor = dev_tomatch.get_vendorid(), uidevice = dev_tomatch.get_deviceid();
    for (size_t i = t.next(0, uivendor, uidevice); i < t.lentries.size();
         i = t.next(i + 1, uivendor, uidevice)) {
        const drivertable::entry& e = t.lentries[i];
        e.fill(pattern);
        if (!(dev_tomatch == pattern)) continue;
        std::list<std::string> lpre, lpost;
        get_dependencies(e.stext, lpre, lpost);
        dev_tomatch.set_driver(lpre);
        dev_tomatch.set_driver(e.stext);
        dev_tomatch.set_driver(lpost);
        return true;
    }
    return false;
}

int pci_cfg::parse_aliasmap_entry(const std::string& sentry, pci& dev) {
    if (parsealiaspattern(sentry.data(), sentry.data() + sentry.size(), dev) != 0) {
        velka::detail::fail(m_plogsrc, s_file, "pci_cfg::parse_aliasmap_entry",
                            "Failed to parse " + sentry);
        return -1;
    }
    return 0;
}

unsigned int pci_cfg::hex_to_u32(const std::string& sstr) {
    return tou32(sstr.data(), sstr.data() + sstr.size());
}

unsigned char pci_cfg::hex_to_u8(const std::string& sstr) {
    return tou8(sstr.data(), sstr.data() + sstr.size());
}

void pci_cfg::get_dependencies(const std::string& sdriver,
                               std::list<std::string>& lpredeplist,
                               std::list<std::string>& lpostdeplist) {
    lpredeplist.clear();
    lpostdeplist.clear();
    if (sdriver == "hpilo") {
        lpredeplist.push_back("serio_raw");
    } else {
        // The USB host controllers: the 2.6-era module names and those of today's kernels,
        // where the PCI glue of EHCI, OHCI and xHCI is a module of its own.
        static const char* const s_usbhosts[] = {
            "ehci_hcd", "ehci-hcd", "uhci_hcd", "uhci-hcd", "ohci_hcd", "ohci-hcd", "xhci_hcd",
            "xhci-hcd", "ehci_pci", "ehci-pci", "ohci_pci", "ohci-pci", "xhci_pci", "xhci-pci"};
        for (const char* s : s_usbhosts)
            if (sdriver == s) lpostdeplist.push_back("usb-storage");
    }
}

std::string pci_cfg::pciclass(unsigned int uic) const {
    int ibase = static_cast<int>((uic >> 16) & 0xFF);
    int isub = static_cast<int>((uic >> 8) & 0xFF);
    auto it = m_pciclassmap.find(ibase);
    if (it != m_pciclassmap.end()) {
        auto jt = it->second.find(isub);
        if (jt != it->second.end()) return jt->second;
    }
    return "unknown pci device";
}

void pci_cfg::build_classmap() {
    m_pciclassmap[0x00] = {{0x00, "non vga"}, {0x01, "vga"}};
    m_pciclassmap[0x01] = {
        {0x00, "scsi controller"},        {0x01, "ide controller"},
        {0x02, "floppy disk controller"}, {0x03, "ipi controller"},
        {0x04, "raid controller"},        {0x06, "sata controller"},
        {0x07, "sas controller"},         {0x80, "other mass storage controller"}};
    m_pciclassmap[0x02] = {{0x00, "ethernet controller"}, {0x01, "token ring controller"},
                           {0x02, "fddi controller"},     {0x03, "ati controller"},
                           {0x04, "isdn controller"},     {0x80, "other network controller"}};
    m_pciclassmap[0x03] = {{0x00, "vga controller"},
                           {0x01, "xga controller"},
                           {0x02, "3d controller"},
                           {0x80, "other display controller"}};
    m_pciclassmap[0x04] = {{0x00, "video device"},
                           {0x01, "audio device"},
                           {0x02, "computer telephony device"},
                           {0x80, "other multimedia device"}};
    m_pciclassmap[0x05] = {{0x00, "ram memory controller"},
                           {0x01, "flash memory controller"},
                           {0x80, "other memory controller"}};
    m_pciclassmap[0x06] = {{0x00, "host/pci bridge"},  {0x01, "pci/isa bridge"},
                           {0x02, "pci/eisa bridge"},  {0x03, "pci/micro channel bridge"},
                           {0x04, "pci/pci bridge"},   {0x05, "pci/pcmcia bridge"},
                           {0x06, "pci/nubus bridge"}, {0x07, "pci/cardbus bridge"},
                           {0x08, "raceway bridge"},   {0x80, "other bridge"}};
    m_pciclassmap[0x07] = {{0x00, "serial controller"},
                           {0x01, "parallel/ieee1284 controller"},
                           {0x02, "multiport serial controller"},
                           {0x03, "modem device"},
                           {0x80, "other communication device"}};
    m_pciclassmap[0x08] = {{0x00, "interrupt controller"},
                           {0x01, "dma controller"},
                           {0x02, "timer"},
                           {0x03, "rtc"},
                           {0x04, "pci hot plug controller"},
                           {0x80, "other system peripheral"}};
    m_pciclassmap[0x09] = {{0x00, "keyboard controller"}, {0x01, "digitizer"},
                           {0x02, "mouse controller"},    {0x03, "scanner controller"},
                           {0x04, "gameport controller"}, {0x80, "other input controller"}};
    m_pciclassmap[0x0A] = {{0x00, "generic docking station"},
                           {0x01, "other type of docking station"}};
    m_pciclassmap[0x0B] = {{0x00, "386"},     {0x01, "486"},  {0x02, "pentium"},    {0x10, "alpha"},
                           {0x20, "powerpc"}, {0x30, "mips"}, {0x40, "coprocessor"}};
    m_pciclassmap[0x0C] = {{0x00, "ieee 1394"}, {0x01, "access"},        {0x02, "ssa"},
                           {0x03, "usb"},       {0x04, "fibre channel"}, {0x05, "smbus"}};
    m_pciclassmap[0x0D] = {{0x00, "irda controller"},
                           {0x01, "consumer ir controller"},
                           {0x10, "rf controller"},
                           {0x80, "other wireless controller"}};
    m_pciclassmap[0x0E] = {{0x00, "intelligent i/o controller"}};
    m_pciclassmap[0x0F] = {{0x01, "tv"}, {0x02, "audio"}, {0x03, "voice"}, {0x04, "data"}};
    m_pciclassmap[0x10] = {{0x00, "networking and computing encrypt/decrypt"},
                           {0x10, "entertainment encrypt/decrypt"},
                           {0x80, "other encrypt/decrypt"}};
    m_pciclassmap[0x11] = {{0x00, "dpio modules"},
                           {0x80, "data acquisition and signal processing"}};
}

void pci_cfg::for_each_pci(const std::function<void(pci&)>& fn) {
    if (!fn) return;
    for (auto& dev : m_ldevicelist) fn(dev);
}

std::vector<pci> pci_cfg::get_devices() const {
    return std::vector<pci>(m_ldevicelist.begin(), m_ldevicelist.end());
}

}  // namespace pci
}  // namespace velka
