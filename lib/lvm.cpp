// Logical volume management on behalf of installers: each LVM tool command line is built in a
// builder of its own below (every inserted value quoted for the shell, the fixed texts
// exactly as the tools and the log readers know them), logged, run and reported. The extent
// counts of the object's own group are kept here and checked before a creation runs. While a
// group is activated, a udev handler thread writes the entries of the device-mapper nodes.
#include <velka/lvm>

#include "internal/lvm.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <limits>

#include <velka/logger>
#include <velka/thread>
#include <velka/utilities>

#include "failure.h"
#include "runlogged.h"

namespace velka {
namespace lvm {

namespace {

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "lvm";
const char* const s_dmpath = "/dev/mapper";
// The share of a thin pool request kept free for the pool's metadata, in megabytes.
const unsigned int s_poolreservemb = 256;
// Delays: before output lines are read, between device-mapper scans, and after an
// activation command before the udev handler thread is stopped.
const int s_readdelayms = 20;
const unsigned long long s_scanintervalms = 500;
const unsigned long long s_settlems = 2000;

std::string q(const std::string& svalue) {
    return utilities::shellquote(svalue);
}

std::string num(unsigned long long ull) {
    return utilities::ultostr(static_cast<unsigned long>(ull));
}

// Numbers in log lines are written signed.
std::string lognum(unsigned long long ull) {
    return utilities::ltostr(static_cast<long>(ull));
}

// A caller's value read by a tool as an operand (device, group or volume name) must not
// begin with "-": the tool would take it for an option. Logs the refusal naming the value.
bool operandok(velka::logger::source* plog,
               const char* stag,
               const char* swhat,
               const std::string& svalue) {
    std::string squoted;
    if (utilities::quoteoperand(svalue, squoted)) return true;
    velka::detail::refuse(plog, s_file, stag,
                          std::string(swhat) + " " + svalue + " refused: value begins with '-'",
                          svalue);
    return false;
}

// pvcreate -ff -y {device}
std::string pvcreatecmd(const std::string& sblk) {
    return "pvcreate -ff -y " + q(sblk);
}

// pvremove -ff -y {device}
std::string pvremovecmd(const std::string& sblk) {
    return "pvremove -ff -y " + q(sblk);
}

// vgchange -an {vg} / vgchange -ay {vg}; without a group, every group.
std::string vgchangecmd(const char* sflag, const std::string* psvg) {
    std::string scmd = std::string("vgchange ") + sflag;
    if (psvg != nullptr) scmd += " " + q(*psvg);
    return scmd;
}

// vgremove -ff {vg}
std::string vgremovecmd(const std::string& svg) {
    return "vgremove -ff " + q(svg);
}

// vgcreate  {vg} --physicalextentsize {size}M {device} ... : two blanks after the tool's
// name, and each device followed by a blank (so the line ends in one). The size is
// written as a signed number.
std::string vgcreatecmd(const std::string& svg, unsigned int uiextentsize) {
    return std::string("vgcreate ") + " " + q(svg) + " " + "--physicalextentsize" + " " +
           utilities::itostr(static_cast<int>(uiextentsize)) + "M" + " ";
}

// vgs --noheadings -o vg_name {vg}: the group's name when it exists.
std::string vgexistscmd(const std::string& svg) {
    return "vgs --noheadings -o vg_name " + q(svg);
}

// vgdisplay {vg} | /bin/grep "{what}" | awk '{print $5}': the fifth field of the group's
// "Free  PE / Size" or "Alloc PE / Size" line. The shell reports awk's status, not
// vgdisplay's: only the output tells a count from a failure.
std::string extentscmd(const std::string& svg, const char* swhat) {
    return "vgdisplay " + q(svg) + " | /bin/grep \"" + swhat + "\" | awk '{print $5}'";
}

// lvcreate -y --extents {n} --name {lv} {vg}
std::string lvcreatecmd(const std::string& slv,
                        unsigned long long ullextents,
                        const std::string& svg) {
    return "lvcreate -y --extents " + num(ullextents) + " --name " + q(slv) + " " + q(svg);
}

// lvcreate -y --extents {n} -T {vg}/{pool}
std::string poolcreatecmd(const std::string& slvpool,
                          unsigned long long ullextents,
                          const std::string& svg) {
    return "lvcreate -y --extents " + num(ullextents) + " -T " + q(svg) + "/" + q(slvpool);
}

// lvcreate -y -V {size}M -T {vg}/{pool} -n {volume}
std::string thincreatecmd(const std::string& sthinpool,
                          const std::string& sthinvol,
                          unsigned long long ullsizemb,
                          const std::string& svg) {
    return "lvcreate -y -V " + num(ullsizemb) + "M" + " -T " + q(svg) + "/" + q(sthinpool) +
           " -n " + q(sthinvol);
}

std::string scanvgcmd() {
    return "vgdisplay 2>/dev/null | grep \"VG Name\" | awk '{print $3}'";
}

// lvdisplay -v {vg} 2>/dev/null | grep "LV Path" | awk '{print $3}'
std::string scanlvcmd(const std::string& svg) {
    return "lvdisplay -v " + q(svg) + " 2>/dev/null | grep \"LV Path\" | awk '{print $3}'";
}

// pvdisplay {pv} 2>/dev/null | grep "VG Name" | awk '{print $3}'
std::string pvdisplaycmd(const std::string& spv) {
    return "pvdisplay " + q(spv) + " 2>/dev/null | grep \"VG Name\" | awk '{print $3}'";
}

// The shared run-and-log step, logging under this module's file name.
int runlogged(velka::logger::source* plog,
              const char* stag,
              const std::string& sannounce,
              const std::string& scmd,
              const std::string& sfailure,
              std::string& sout) {
    return velka::detail::runlogged(plog, s_file, stag, sannounce, scmd, sfailure, sout);
}

int runlogged(velka::logger::source* plog,
              const char* stag,
              const std::string& sannounce,
              const std::string& scmd,
              const std::string& sfailure) {
    std::string sout;
    return runlogged(plog, stag, sannounce, scmd, sfailure, sout);
}

// Logs sannounce and reads the command's output lines into llines. -1 with sfailure
// logged when the command cannot be started.
int readlogged(velka::logger::source* plog,
               const char* stag,
               const std::string& sannounce,
               const std::string& scmd,
               const std::string& sfailure,
               std::list<std::string>& llines) {
    velka::detail::note(plog, s_file, stag, sannounce);
    int iret = utilities::popen(scmd, llines, s_readdelayms);
    if (iret != 0) velka::detail::fail(plog, s_file, stag, sfailure);
    return iret;
}

// Logs sannounce and runs an extent query, whose output must be one count; -1 (logged) when
// it is not, ullcount then untouched.
int querycount(velka::logger::source* plog,
               const char* stag,
               const std::string& sannounce,
               const std::string& scmd,
               const std::string& sfailure,
               unsigned long long& ullcount) {
    std::string sout;
    return velka::detail::runjudged(plog, s_file, stag, sannounce, scmd, sfailure, "count", sout,
                                    [&](const std::string& s) { return parseextents(s, ullcount); })
               ? 0
               : -1;
}

// Whether the group exists, asked of vgs: 1 when vgs names it, 0 when vgs reports it not
// found, -1 (logged) when the answer is neither.
int vgexists(velka::logger::source* plog, const char* stag, const std::string& svg) {
    std::string scmd = vgexistscmd(svg);
    velka::detail::note(plog, s_file, stag,
                        "Volume group " + svg + " will be looked up using command: " + scmd);
    std::string sout, serr;
    int iret = velka::detail::system(scmd, sout, serr);
    if (iret == 0 && utilities::trim(sout) == svg) return 1;
    if (iret != 0 && utilities::trim(sout).empty() && serr.find(" not found") != std::string::npos)
        return 0;
    velka::detail::fail(
        plog, s_file, stag,
        "Volume group " + svg + " lookup failed, no device is touched, error: " + serr);
    return -1;
}

// Frees a scandir result on every path.
class direntlist {
public:
    direntlist() : m_pplist(nullptr), m_icount(0) {}
    ~direntlist() {
        if (m_pplist == nullptr) return;
        for (int i = 0; i < m_icount; ++i) free(m_pplist[i]);
        free(m_pplist);
    }
    direntlist(const direntlist&) = delete;
    direntlist& operator=(const direntlist&) = delete;
    int scan(const std::string& sdir) {
        m_icount = scandir(sdir.c_str(), &m_pplist, lvm_select, alphasort);
        if (m_icount < 0) m_pplist = nullptr;
        return m_icount;
    }
    int count() const {
        return m_icount < 0 ? 0 : m_icount;
    }
    const dirent* at(int i) const {
        return m_pplist[i];
    }

private:
    dirent** m_pplist;
    int m_icount;
};

}  // namespace

lv::lv(const std::string& slv, unsigned long long ullextents)
    : m_slv(slv), m_ullextents(ullextents) {}

lv::lv(const lv& other) : m_slv(other.m_slv), m_ullextents(other.m_ullextents) {}

lv::~lv() {}

lvm::lvm(const std::list<std::string>& lblk, velka::logger::source* plog)
    : m_lblkdev(lblk),
      m_plogsrc(plog),
      m_uiextentsize(0),
      m_ulltotalextents(0),
      m_ullfreeextents(0),
      m_ullallocatedextents(0),
      m_breserved_for_snapshot(false),
      m_udev(plog) {}

lvm::lvm(velka::logger::source* plog) : lvm(std::list<std::string>(), plog) {}

// ---- Report parsing ----

bool parseextents(const std::string& sout, unsigned long long& ullcount) {
    // Only digits: a sign, a second line or any other text is not the count the query reads,
    // and a count beyond what the log lines can show is no real group's.
    std::string s = utilities::trim(sout);
    if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    ullcount = std::strtoull(s.c_str(), nullptr, 10);
    return true;
}

void parsenames(const std::list<std::string>& llines, std::list<std::string>& lnames) {
    for (const auto& sline : llines) {
        if (!sline.empty()) lnames.push_back(sline);
    }
}

bool parsefirst(const std::list<std::string>& llines, std::string& sname) {
    if (llines.empty()) return false;
    sname = llines.front();
    return true;
}

// ---- Physical volumes and the group ----

int lvm::pvcreate(const std::string& sblk) {
    if (!operandok(m_plogsrc, "lvm::pvcreate", "Physical volume", sblk) ||
        velka::detail::refusedinuse(m_plogsrc, s_file, "lvm::pvcreate", sblk))
        return -1;
    std::string scmd = pvcreatecmd(sblk);
    return runlogged(m_plogsrc, "lvm::pvcreate",
                     "physical volume will be created using command: " + scmd, scmd,
                     "Failed to create physical volume with error: ");
}

int lvm::pvremove(const std::string& sblk) {
    if (!operandok(m_plogsrc, "lvm::pvremove", "Physical volume", sblk) ||
        velka::detail::refusedinuse(m_plogsrc, s_file, "lvm::pvremove", sblk))
        return -1;
    std::string scmd = pvremovecmd(sblk);
    return runlogged(m_plogsrc, "lvm::pvremove",
                     "physical volume will be removed using command: " + scmd, scmd,
                     "Failed to remove physical volume with error: ");
}

int lvm::vgcreate(const std::string& svg, unsigned int uiextentsize) {
    // 1. Every name is checked before anything runs or changes.
    if (!operandok(m_plogsrc, "lvm::vgcreate", "Volume group", svg)) return -1;
    for (const auto& sblk : m_lblkdev) {
        if (!operandok(m_plogsrc, "lvm::vgcreate", "Physical volume", sblk)) return -1;
    }
    for (const auto& sblk : m_lblkdev) {
        if (velka::detail::refusedinuse(m_plogsrc, s_file, "lvm::vgcreate", sblk)) return -1;
    }
    velka::detail::note(m_plogsrc, s_file, "lvm::vgcreate",
                        "Request to create volume group " + svg + " with an extent size of " +
                            utilities::itostr(static_cast<int>(uiextentsize)) + "MB");
    // 2. A group of that name (an inactive one, say) keeps its devices: pvcreate -ff would
    // wipe their labels before vgcreate refused the name.
    int iexists = vgexists(m_plogsrc, "lvm::vgcreate", svg);
    if (iexists != 0) {
        if (iexists > 0)
            velka::detail::fail(m_plogsrc, s_file, "lvm::vgcreate",
                                "Volume group " + svg + " already exists");
        return -1;
    }
    m_svg = svg;
    m_uiextentsize = uiextentsize;
    std::string scmd = vgcreatecmd(svg, uiextentsize);
    // 3. The physical volumes, in the order given; those made stay when one fails.
    for (const auto& sblk : m_lblkdev) {
        velka::detail::note(m_plogsrc, s_file, "lvm::vgcreate",
                            "Creating physical volume for " + sblk);
        int iret = pvcreate(sblk);
        if (iret != 0) {
            velka::detail::failcaught(m_plogsrc, s_file, "lvm::vgcreate",
                                      "Creation of physical volume " + sblk + " failed");
            return iret;
        }
        scmd += q(sblk) + " ";
    }
    // 4. The group.
    if (runlogged(m_plogsrc, "lvm::vgcreate",
                  "Volume group " + svg + " will be created using command: " + scmd, scmd,
                  "Volume group " + svg + " creation failed with error: ") != 0)
        return -1;
    velka::detail::note(m_plogsrc, s_file, "lvm::vgcreate", "Successfully created volume: " + svg);
    // 5. The counts; the free count of the new group is its total.
    if (extractfreeextents() != 0)
        velka::detail::failcaught(
            m_plogsrc, s_file, "lvm::vgcreate",
            "Failed to determine the number of free extents in volume group " + svg);
    m_ulltotalextents = m_ullfreeextents;
    if (extractallocatedextents() != 0)
        velka::detail::failcaught(
            m_plogsrc, s_file, "lvm::vgcreate",
            "Failed to determine the number of allocated extents in volume group " + svg);
    return 0;
}

int lvm::extractfreeextents() {
    std::string scmd = extentscmd(m_svg, "Free");
    if (querycount(
            m_plogsrc, "lvm::extractfreeextents",
            "Number of free extents in volume group " + m_svg +
                " will be determined using command: " + scmd,
            scmd,
            "Failed to determine the number of free extents in volume group " + m_svg + " error: ",
            m_ullfreeextents) != 0)
        return -1;
    velka::detail::note(
        m_plogsrc, s_file, "lvm::extractfreeextents",
        "Found " + lognum(m_ullfreeextents) + " free extents in volume group " + m_svg);
    return 0;
}

int lvm::extractallocatedextents() {
    std::string scmd = extentscmd(m_svg, "Alloc");
    if (querycount(m_plogsrc, "lvm::extractallocatedextents",
                   "Number of Allocated extents in volume group " + m_svg +
                       " will be determined using command: " + scmd,
                   scmd,
                   "Failed to determine the number of allocated extents in volume group " + m_svg +
                       " error: ",
                   m_ullallocatedextents) != 0)
        return -1;
    velka::detail::note(
        m_plogsrc, s_file, "lvm::extractallocatedextents",
        "Found " + lognum(m_ullallocatedextents) + " allocated extents in volume group " + m_svg);
    return 0;
}

unsigned long long lvm::getfreeextents() {
    return m_ullfreeextents;
}

// ---- Volumes ----

// The udev entry of /dev/{vg}/{lv}: 0, or the entry's result with the failure logged.
int lvm::createdentry(const char* stag, const std::string& slv) {
    std::string spath = "/dev/" + m_svg + "/" + slv;
    int iret = m_udev.create_entry(spath);
    if (iret != 0)
        velka::detail::failcaught(m_plogsrc, s_file, stag,
                                  "Failed to create udev entry for logical volume " + spath);
    return iret;
}

int lvm::lvcreate(const std::string& slv, unsigned long long ullextents) {
    const char* stag = "lvm::lvcreate";
    if (!operandok(m_plogsrc, stag, "Logical volume", slv) ||
        !operandok(m_plogsrc, stag, "Volume group", m_svg))
        return -1;
    velka::detail::note(m_plogsrc, s_file, stag,
                        "Will attempt to create logical volume " + slv + " on volume group " +
                            m_svg + " with " + lognum(ullextents) + " extents");
    if (ullextents == 0) {
        ullextents = m_ullfreeextents;
    } else if (ullextents > m_ullfreeextents) {
        velka::detail::fail(m_plogsrc, s_file, stag,
                            "Volume " + m_svg +
                                " does not have enough extents to create logical volume " + slv +
                                " maximum allowed extents: " + lognum(m_ullfreeextents) +
                                " requested extents: " + lognum(ullextents));
        return -1;
    }
    std::string scmd = lvcreatecmd(slv, ullextents, m_svg);
    if (runlogged(m_plogsrc, stag,
                  "logical volume " + slv + " will be created using command " + scmd, scmd,
                  "Logical volume " + slv + " creation failed with error: ") != 0)
        return -1;
    m_ullfreeextents -= ullextents;
    m_ullallocatedextents += ullextents;
    velka::detail::note(m_plogsrc, s_file, stag,
                        "Successfully created logical volume " + slv + " number of free extents " +
                            lognum(m_ullfreeextents) + " number of allocated extents " +
                            lognum(m_ullallocatedextents));
    m_lvlist.push_back(lv(slv, ullextents));
    return createdentry(stag, slv);
}

int lvm::lvpoolcreate(const std::string& slvpool, unsigned long long ullextents) {
    const char* stag = "lvm::lvpoolcreate";
    if (!operandok(m_plogsrc, stag, "Thin pool", slvpool) ||
        !operandok(m_plogsrc, stag, "Volume group", m_svg))
        return -1;
    velka::detail::note(m_plogsrc, s_file, stag,
                        "Will attempt to create thin pool " + slvpool + " on volume group " +
                            m_svg + " with " + lognum(ullextents) + " extents");
    if (ullextents == 0) {
        ullextents = m_ullfreeextents;
    } else if (ullextents > m_ullfreeextents) {
        velka::detail::fail(m_plogsrc, s_file, stag,
                            "Volume " + m_svg +
                                " does not have enough extents to create thin pool " + slvpool +
                                " maximum allowed extents: " + lognum(m_ullfreeextents) +
                                " requested extents: " + lognum(ullextents));
        return -1;
    }
    // The reserve is a whole number of extents; the pool must keep at least one beyond it.
    if (m_uiextentsize == 0) {
        velka::detail::refuse(m_plogsrc, s_file, stag,
                              "Thin pool " + slvpool + " refused: volume group " + m_svg +
                                  " has an extent size of 0, so no pool reserve can be set aside");
        return -1;
    }
    unsigned long long ullreserve = s_poolreservemb / m_uiextentsize;
    if (ullextents <= ullreserve) {
        velka::detail::refuse(m_plogsrc, s_file, stag,
                              "Thin pool " + slvpool + " refused: requested extents " +
                                  lognum(ullextents) + " are not more than the reserve extents " +
                                  lognum(ullreserve));
        return -1;
    }
    ullextents -= ullreserve;
    velka::detail::note(m_plogsrc, s_file, stag,
                        "Thin pool " + slvpool + " number of reserve extents " +
                            lognum(ullreserve) + " number of extents " + lognum(ullextents));
    std::string scmd = poolcreatecmd(slvpool, ullextents, m_svg);
    if (runlogged(m_plogsrc, stag,
                  "thin pool " + slvpool + " will be created using command " + scmd, scmd,
                  "thin pool " + slvpool + " creation failed with error: ") != 0)
        return -1;
    m_ullfreeextents -= ullextents;
    m_ullallocatedextents += ullextents;
    recount();
    velka::detail::note(m_plogsrc, s_file, stag,
                        "Successfully created thin pool " + slvpool + " number of free extents " +
                            lognum(m_ullfreeextents) + " number of allocated extents " +
                            lognum(m_ullallocatedextents));
    int iret = createdentry(stag, slvpool);
    if (iret != 0) return iret;
    m_lvlist.push_back(lv(slvpool, ullextents));
    return 0;
}

int lvm::thinlvcreate(const std::string& sthinpool,
                      const std::string& sthinvol,
                      unsigned long long ullextents) {
    const char* stag = "lvm::thinlvcreate";
    if (!operandok(m_plogsrc, stag, "Thin pool", sthinpool) ||
        !operandok(m_plogsrc, stag, "Thin volume", sthinvol) ||
        !operandok(m_plogsrc, stag, "Volume group", m_svg))
        return -1;
    velka::detail::note(m_plogsrc, s_file, stag,
                        "Will attempt to create thin volume " + sthinvol + " on thin pool " +
                            sthinpool + " inside volume " + m_svg + " with " + lognum(ullextents) +
                            " extents");
    if (ullextents == 0) ullextents = m_ullfreeextents;
    // A size beyond 64 bits would wrap around to a much smaller volume.
    if (m_uiextentsize != 0 &&
        ullextents > std::numeric_limits<unsigned long long>::max() / m_uiextentsize) {
        velka::detail::refuse(m_plogsrc, s_file, stag,
                              "Thin volume " + sthinvol + " refused: " + num(ullextents) +
                                  " extents of " + num(m_uiextentsize) +
                                  "MB exceed the largest size that can be written");
        return -1;
    }
    unsigned long long ullsize = ullextents * m_uiextentsize;
    std::string scmd = thincreatecmd(sthinpool, sthinvol, ullsize, m_svg);
    if (runlogged(m_plogsrc, stag,
                  "thin volume " + sthinvol + " will be created using command " + scmd, scmd,
                  "thin volume " + sthinvol + " creation failed with error: ") != 0)
        return -1;
    velka::detail::note(m_plogsrc, s_file, stag,
                        "Successfully created thin volume " + sthinvol +
                            " number of free extents " + lognum(m_ullfreeextents) +
                            " number of allocated extents " + lognum(m_ullallocatedextents));
    int iret = createdentry(stag, sthinvol);
    if (iret != 0) return iret;
    m_lvlist.push_back(lv(sthinvol, ullextents));
    return 0;
}

// The pool's metadata volume and its spare take extents the object never asked for: the
// group's own counts replace the tracked ones, less the snapshot reserve, which only this
// object knows of. The group's size does not change, so once its free count is read, what is
// not free is allocated: the allocated count is asked of the tools only when the size is not
// known (its count failed at creation). A count that cannot be read keeps its tracked value.
void lvm::recount() {
    unsigned long long ullsnapshot = m_breserved_for_snapshot ? snapshotreserve() : 0;
    bool bfree = extractfreeextents() == 0;
    if (bfree && m_ulltotalextents > 0 && m_ulltotalextents >= m_ullfreeextents) {
        m_ullallocatedextents = m_ulltotalextents - m_ullfreeextents + ullsnapshot;
        velka::detail::note(
            m_plogsrc, s_file, "lvm::recount",
            "Volume group " + m_svg + " has " + lognum(m_ulltotalextents - m_ullfreeextents) +
                " allocated extents: " + lognum(m_ulltotalextents) + " extents less the free ones");
    } else if (extractallocatedextents() == 0) {
        m_ullallocatedextents += ullsnapshot;
    }
    if (bfree)
        m_ullfreeextents = m_ullfreeextents > ullsnapshot ? m_ullfreeextents - ullsnapshot : 0;
}

unsigned long long lvm::snapshotreserve() const {
    return static_cast<unsigned long long>(static_cast<double>(m_ulltotalextents) * 5.0 / 100.0);
}

int lvm::reserve_for_snapshot() {
    if (m_breserved_for_snapshot) return 0;
    unsigned long long ullreserve = snapshotreserve();
    if (ullreserve > m_ullfreeextents) {
        velka::detail::fail(
            m_plogsrc, s_file, "lvm::reserve_for_snapshot",
            "Volume " + m_svg +
                " does not have enough extents to reserve space for snapsho maximum allowed "
                "extents: " +
                lognum(m_ullfreeextents) + " requested extents: " + lognum(ullreserve));
        return -1;
    }
    m_ullfreeextents -= ullreserve;
    m_ullallocatedextents += ullreserve;
    m_breserved_for_snapshot = true;
    return 0;
}

// ---- Groups by name ----

int lvm::stopvg(const std::string& svg) {
    if (!operandok(m_plogsrc, "lvm::stopvg", "Volume group", svg)) return -1;
    std::string scmd = vgchangecmd("-an", &svg);
    return runlogged(m_plogsrc, "lvm::stopvg",
                     "Volume group will be stopped using command: " + scmd, scmd,
                     "Failed to stop volume group with error: ");
}

int lvm::removevg(const std::string& svg) {
    if (!operandok(m_plogsrc, "lvm::removevg", "Volume group", svg)) return -1;
    std::string scmd = vgremovecmd(svg);
    return runlogged(m_plogsrc, "lvm::removevg",
                     "Volume group will be removed using command: " + scmd, scmd,
                     "Failed to remove volume group with error: ");
}

int lvm::deactivatevgs() {
    std::string scmd = vgchangecmd("-an", nullptr);
    return runlogged(m_plogsrc, "lvm::deactivatevgs",
                     "Volume groups will be deactivated using command: " + scmd, scmd,
                     "Failed to deactivate volume groups with error: ");
}

int lvm::scanvg(std::list<std::string>& vglist) {
    std::string scmd = scanvgcmd();
    std::list<std::string> llines;
    if (readlogged(m_plogsrc, "lvm::scanvg", "Volume groups will be scanned using command: " + scmd,
                   scmd, "Failed to scan volume groups", llines) != 0)
        return -1;
    vglist.clear();
    parsenames(llines, vglist);
    return 0;
}

int lvm::scanlv(const std::string& vg, std::list<std::string>& lvlist) {
    if (!operandok(m_plogsrc, "lvm::scanlv", "Volume group", vg)) return -1;
    std::string scmd = scanlvcmd(vg);
    std::list<std::string> llines;
    // A query that could not start has found nothing: what the caller's list held before is
    // not given entries, and the failure is the result.
    if (readlogged(m_plogsrc, "lvm::scanlv",
                   "Logical volumes will be scanned using command: " + scmd, scmd,
                   "Failed to scan logical volumes inside " + vg, llines) != 0)
        return -1;
    lvlist.clear();
    parsenames(llines, lvlist);
    int iret = 0;
    for (const auto& spath : lvlist) {
        iret = m_udev.create_entry(spath);
        if (iret != 0)
            velka::detail::failcaught(m_plogsrc, s_file, "lvm::scanlv",
                                      "Failed to create udev entry for logical volume " + spath);
    }
    return iret;
}

int lvm::pv_get_vgname(const std::string& pvname, std::string& vgname) {
    if (!operandok(m_plogsrc, "lvm::pv_get_vgname", "Physical volume", pvname)) return -1;
    std::string scmd = pvdisplaycmd(pvname);
    std::list<std::string> llines;
    if (readlogged(m_plogsrc, "lvm::pv_get_vgname",
                   "Physical volume will be scanned using command: " + scmd, scmd,
                   "Failed to scan physical volumes", llines) != 0)
        return -1;
    // The report of a physical volume always has its "VG Name" line, empty for one in no
    // group; no line at all is pvdisplay's failure, whose status the pipeline does not pass on.
    if (!parsefirst(llines, vgname)) {
        velka::detail::fail(m_plogsrc, s_file, "lvm::pv_get_vgname",
                            "Failed to scan physical volumes: no report for " + pvname);
        return -1;
    }
    return 0;
}

// ---- Activation ----

int lvm::activate(const char* stag,
                  const std::string& scmd,
                  const std::string& sannounce,
                  const std::string& sfailure) {
    // The work item is declared before the thread, so the thread is joined (when the thread
    // object goes) before the work item it reads goes.
    workitem work(this);
    velka::thread::thread handler;
    int istart = handler.create_joinable_thread(udevhandler, &work);
    if (istart != 0) {
        velka::detail::fail(m_plogsrc, s_file, stag, "Failed to create udev handler thread");
        return istart;
    }
    int iret = runlogged(m_plogsrc, stag, sannounce, scmd, sfailure);
    // The nodes appear while udev and device-mapper settle: keep scanning a little longer.
    utilities::millisleep(s_settlems);
    work.m_bdone.store(true, std::memory_order_seq_cst);
    return iret;
}

int lvm::startvg(const std::string& svg) {
    if (!operandok(m_plogsrc, "lvm::startvg", "Volume group", svg)) return -1;
    std::string scmd = vgchangecmd("-ay", &svg);
    return activate("lvm::startvg", scmd, "Volume group will be started using command: " + scmd,
                    "Failed to start volume group with error: ");
}

int lvm::activatevgs() {
    std::string scmd = vgchangecmd("-ay", nullptr);
    return activate("lvm::activatevgs", scmd,
                    "Volume groups will be activated using command: " + scmd,
                    "Failed to activate volume groups with error: ");
}

int lvm::activatesinglevg(const std::string& vgname) {
    if (!operandok(m_plogsrc, "lvm::activatesinglevg", "Volume group", vgname)) return -1;
    std::string scmd = vgchangecmd("-ay", &vgname);
    return activate("lvm::activatesinglevg", scmd,
                    "Volume group " + vgname + " will be activated using command: " + scmd,
                    "Failed to activate volume group " + vgname + " with error: ");
}

// ---- The udev handler thread ----

int lvm::dmscan(const std::string& dmpath) {
    direntlist entries;
    if (entries.scan(dmpath) < 0) return -1;
    for (int i = 0; i < entries.count(); ++i) {
        const dirent* pent = entries.at(i);
        if (pent == nullptr) continue;
        std::string spath = dmpath + "/" + pent->d_name;
        velka::detail::note(m_plogsrc, s_file, "lvm::dmscan",
                            "Will attempt to create udev entry for : " + spath);
        if (m_udev.create_entry(spath) != 0)
            velka::detail::failcaught(m_plogsrc, s_file, "lvm::dmscan",
                                      "Failed to create udev entry for logical volume " + spath);
        else
            velka::detail::note(m_plogsrc, s_file, "lvm::dmscan",
                                "Successfully created udev entry for logical volume " + spath);
    }
    return 0;
}

workitem::workitem(lvm* ptr) : m_lvmptr(ptr), m_bdone(false) {}

void* udevhandler(void* ptr) {
    workitem* pwork = static_cast<workitem*>(ptr);
    while (!pwork->m_bdone.load(std::memory_order_seq_cst)) {
        pwork->m_lvmptr->dmscan(s_dmpath);
        utilities::millisleep(s_scanintervalms);
    }
    return nullptr;
}

int lvm_select(const dirent* ent) {
    const char* sname = ent->d_name;
    if (sname[0] == '.') return 0;
    if (strncmp(sname, "control", 7) == 0) return 0;
    return 1;
}

std::vector<std::string> lvm::scanvg() {
    std::list<std::string> lnames;
    scanvg(lnames);
    return std::vector<std::string>(lnames.begin(), lnames.end());
}

std::vector<std::string> lvm::scanlv(const std::string& vg) {
    std::list<std::string> lpaths;
    scanlv(vg, lpaths);
    return std::vector<std::string>(lpaths.begin(), lpaths.end());
}

}  // namespace lvm
}  // namespace velka
