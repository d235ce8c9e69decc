// SMART health of one disk. smartctl -H gives the overall verdict, smartctl -A the attribute
// table: its header line "ID#..." is found first, then each row is read column by column
// (ID#, ATTRIBUTE_NAME, FLAG, VALUE, WORST, THRESH, TYPE, UPDATED, WHEN_FAILED, RAW_VALUE; the
// raw value is the rest of the row, of which the leading number is kept). A row that does not
// fit these columns is skipped whole.
#include <velka/smartctl>

#include <climits>
#include <vector>

#include <velka/utilities>

namespace velka {
namespace smartctl {

namespace {

using velka::logger::LOG;
using velka::utilities::utilities;

const char* const s_file = "smartctl";

// smartctl -H {device}
std::string healthcmd(const std::string& sqblkdev) {
    return "smartctl -H " + sqblkdev;
}

// smartctl -A {device}
std::string attrcmd(const std::string& sqblkdev) {
    return "smartctl -A " + sqblkdev;
}

// Digits in the base from the start of sword up to its end (bwhole) or its first other
// character. False for no digit, a value beyond ullmax, or (bwhole) trailing characters.
bool tonumber(const std::string& sword,
              unsigned int uibase,
              unsigned long long ullmax,
              bool bwhole,
              unsigned long long& ullvalue) {
    ullvalue = 0;
    size_t i = 0;
    for (; i < sword.size(); ++i) {
        char c = sword[i];
        unsigned int d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned int>(c - '0');
        else if (uibase == 16 && c >= 'a' && c <= 'f')
            d = static_cast<unsigned int>(c - 'a' + 10);
        else if (uibase == 16 && c >= 'A' && c <= 'F')
            d = static_cast<unsigned int>(c - 'A' + 10);
        else
            break;
        if (ullvalue > (ullmax - d) / uibase) return false;
        ullvalue = ullvalue * uibase + d;
    }
    if (i == 0) return false;
    return !bwhole || i == sword.size();
}

bool touint(const std::string& sword, unsigned int uibase, unsigned int& uivalue) {
    unsigned long long ull;
    if (!tonumber(sword, uibase, UINT_MAX, true, ull)) return false;
    uivalue = static_cast<unsigned int>(ull);
    return true;
}

// One table row into attr; false (attr unusable) when the row does not fit the columns.
bool parserow(const std::string& sline, param& attr) {
    std::vector<char> vbuf(sline.begin(), sline.end());
    vbuf.push_back('\0');
    char sdelim[] = " \t";
    std::vector<std::string> vwords;
    utilities::tokenize(vbuf.data(), sdelim, vwords);
    // 1. Ten columns at least: the raw value may run on over several words.
    if (vwords.size() < 10) return false;
    // 2. ID#, FLAG (hexadecimal, 0x002f), VALUE, WORST and THRESH must be whole numbers.
    unsigned int uiid, uiflag, uival, uiworst, uithresh;
    std::string sflag = vwords[2];
    if (sflag.size() > 2 && sflag[0] == '0' && (sflag[1] == 'x' || sflag[1] == 'X'))
        sflag = sflag.substr(2);
    if (!touint(vwords[0], 10, uiid) || !touint(sflag, 16, uiflag) ||
        !touint(vwords[3], 10, uival) || !touint(vwords[4], 10, uiworst) ||
        !touint(vwords[5], 10, uithresh))
        return false;
    // 3. The raw value: its leading number (36 of "36 (Min/Max 20/45)"), 0 without one.
    unsigned long long ullraw = 0;
    if (!tonumber(vwords[9], 10, ULLONG_MAX, false, ullraw)) {
        if (!vwords[9].empty() && vwords[9][0] >= '0' && vwords[9][0] <= '9') return false;
        ullraw = 0;
    }
    attr = param();
    attr.set_id(uiid);
    attr.set_name(vwords[1]);
    attr.set_flag(uiflag);
    attr.set_value(uival);
    attr.set_worst(uiworst);
    attr.set_threshold(uithresh);
    if (vwords[6] == "Pre-fail")
        attr.set_failuretype(e_prefailure);
    else if (vwords[6] == "Old_age")
        attr.set_failuretype(e_oldage);
    attr.set_failed(vwords[8] != "-");
    attr.set_rawval(ullraw);
    attr.update_health();
    return true;
}

}  // namespace

// ---- param ----

param::param()
    : m_uiattrid(0),
      m_uiflag(0),
      m_uival(0),
      m_uiworst(0),
      m_uithreshold(0),
      m_failtype(static_cast<failuretype_t>(0)),
      m_bfailed(false),
      m_ullrawval(0),
      m_bhealthy(false) {}

void param::set_id(unsigned int id) {
    m_uiattrid = id;
}
void param::set_name(const std::string& name) {
    m_sattrname = name;
}
void param::set_flag(unsigned int flag) {
    m_uiflag = flag;
}
void param::set_value(unsigned int value) {
    m_uival = value;
}
void param::set_worst(unsigned int worst) {
    m_uiworst = worst;
}
void param::set_threshold(unsigned int threshhold) {
    m_uithreshold = threshhold;
}
void param::set_failuretype(failuretype_t type) {
    m_failtype = type;
}
void param::set_failed(bool failed) {
    m_bfailed = failed;
}
void param::set_rawval(unsigned long long val) {
    m_ullrawval = val;
}
unsigned int param::get_id() const {
    return m_uiattrid;
}
std::string param::get_attrname() const {
    return m_sattrname;
}
unsigned int param::get_flag() const {
    return m_uiflag;
}
unsigned int param::get_value() const {
    return m_uival;
}
unsigned int param::get_worst() const {
    return m_uiworst;
}
unsigned int param::get_threshold() const {
    return m_uithreshold;
}
failuretype_t param::get_failtype() const {
    return m_failtype;
}
bool param::get_failed() const {
    return m_bfailed;
}
unsigned long long param::get_rawval() const {
    return m_ullrawval;
}
void param::update_health() {
    m_bhealthy = m_uival > m_uithreshold;
}
bool param::is_healthy() const {
    return m_bhealthy;
}

// ---- smartctl ----

smartctl::smartctl(const std::string& sblkdev, velka::logger::source* plogsrc)
    : m_plogsrc(plogsrc),
      m_sblkdev(sblkdev),
      m_battrhealthy(true),
      m_boverallhealth(false),
      m_bhasverdict(false) {}

int smartctl::extractoverallhealth() {
    const char* stag = "smartctl::extractoverallhealth";
    std::string sqdev;
    if (!utilities::quoteoperand(m_sblkdev, sqdev)) {
        LOG(m_plogsrc, s_file, stag, "Device " + m_sblkdev + " refused: value begins with '-'");
        return -1;
    }
    std::string scmd = healthcmd(sqdev);
    std::list<std::string> llines;
    int iret = utilities::popen(scmd, llines, 100);
    if (iret != 0) {
        LOG(m_plogsrc, s_file, stag, scmd + " execution failed");
        return iret;
    }
    parseoverallhealth(llines);
    return 0;
}

void smartctl::parseoverallhealth(const std::list<std::string>& llines) {
    // A verdict line's text after its first ':' is "PASSED" (ATA) or "OK" (SCSI) when good;
    // any other verdict leaves the flag as it was.
    for (const auto& sline : llines) {
        if (sline.find("SMART Health Status") == std::string::npos &&
            sline.find("SMART overall-health self-assessment test result") == std::string::npos)
            continue;
        size_t pos = sline.find(':');
        if (pos == std::string::npos) continue;
        std::string sverdict = utilities::trim(sline.substr(pos + 1));
        if (sverdict.empty()) continue;
        m_bhasverdict = true;
        if (sverdict == "OK" || sverdict == "PASSED") m_boverallhealth = true;
    }
}

int smartctl::extractparams() {
    const char* stag = "smartctl::extractparams";
    std::string sqdev;
    if (!utilities::quoteoperand(m_sblkdev, sqdev)) {
        LOG(m_plogsrc, s_file, stag, "Device " + m_sblkdev + " refused: value begins with '-'");
        return -1;
    }
    std::string scmd = attrcmd(sqdev);
    std::list<std::string> llines;
    int iret = utilities::popen(scmd, llines, 100);
    if (iret != 0) {
        LOG(m_plogsrc, s_file, stag, scmd + " execution failed");
        return iret;
    }
    parseparams(llines);
    return 0;
}

void smartctl::parseparams(const std::list<std::string>& llines) {
    // 1. Everything up to and including the header line "ID# ATTRIBUTE_NAME ..." is skipped.
    // 2. Every later non-empty row that fits the columns replaces the attribute of its id;
    //    one unhealthy row turns the attribute verdict false for good.
    bool bheader = false;
    for (const auto& sraw : llines) {
        if (!bheader) {
            bheader = sraw.find("ID#") != std::string::npos;
            continue;
        }
        std::string sline = utilities::trim(sraw);
        if (sline.empty()) continue;
        param attr;
        if (!parserow(sline, attr)) continue;
        if (!attr.is_healthy()) m_battrhealthy = false;
        m_attrmap[attr.get_id()] = attr;
    }
}

int smartctl::getfaultyattrs(std::list<param>& faultylist) {
    faultylist.clear();
    for (const auto& it : m_attrmap) {
        if (!it.second.is_healthy()) faultylist.push_back(it.second);
    }
    return 0;
}

void smartctl::for_each_attr(smartctl_cb cb, void* arg) {
    for (auto& it : m_attrmap) cb(it.second, arg);
}

bool smartctl::getoverallhealth() const {
    return m_boverallhealth;
}

bool smartctl::hasoverallverdict() const {
    return m_bhasverdict;
}

bool smartctl::attrhealthy() const {
    return m_battrhealthy;
}

}  // namespace smartctl
}  // namespace velka
