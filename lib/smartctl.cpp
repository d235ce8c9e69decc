// SMART health of one disk. smartctl -H gives the overall verdict, smartctl -A the attribute
// table: its header line "ID#..." is found first and names the columns, then each row is read
// column by column. smartctl has printed three layouts over its versions: ID#, ATTRIBUTE_NAME,
// FLAG, VALUE, WORST, THRESH, TYPE, UPDATED, WHEN_FAILED, RAW_VALUE (today's default); the same
// without UPDATED (5.1x); and the brief one (-f brief) with FLAGS as letters and FAIL in place
// of TYPE, UPDATED and WHEN_FAILED. The raw value is the rest of the row, of which the leading
// number is kept. A row that does not fit the columns is skipped whole.
#include <velka/smartctl>

#include <cctype>
#include <climits>
#include <cstring>
#include <vector>

#include <velka/utilities>
#include "failure.h"

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

// VALUE, WORST or THRESH: a decimal number (051 is 51), or "---" where smartctl has no such
// number for the attribute (no normalised value, or no threshold), read as 0.
bool tocolumn(const std::string& sword, unsigned int& uivalue) {
    if (sword == "---") {
        uivalue = 0;
        return true;
    }
    return touint(sword, 10, uivalue);
}

// FLAG: hexadecimal with its 0x prefix (0x002f), or the letters of the brief form, one
// position per bit: P prefailure (0x01), O online (0x02), S performance (0x04), R error rate
// (0x08), C event count (0x10), K auto-keep (0x20; M in older versions), '-' for a clear bit,
// then an optional '+' for other bits, whose values the letters do not give.
bool toflag(const std::string& sword, unsigned int& uiflag) {
    if (sword.size() > 2 && sword[0] == '0' && (sword[1] == 'x' || sword[1] == 'X'))
        return touint(sword.substr(2), 16, uiflag);
    static const char* const s_letters[] = {"P", "O", "S", "R", "C", "KM"};
    if (sword.size() != 6 && !(sword.size() == 7 && sword[6] == '+')) return false;
    uiflag = 0;
    for (size_t i = 0; i < 6; ++i) {
        if (sword[i] == '-') continue;
        if (strchr(s_letters[i], sword[i]) == nullptr) return false;
        uiflag |= 1u << i;
    }
    return true;
}

// RAW_VALUE: 0x followed by hexadecimal digits is read in hexadecimal; otherwise the leading
// decimal number (36 of "36 (Min/Max 20/45)", 0 of "0/0"); 0 for a word without a leading
// digit. False when the number does not fit 64 bits.
bool torawvalue(const std::string& sword, unsigned long long& ullraw) {
    ullraw = 0;
    if (sword.size() > 2 && sword[0] == '0' && (sword[1] == 'x' || sword[1] == 'X') &&
        isxdigit(static_cast<unsigned char>(sword[2])))
        return tonumber(sword.substr(2), 16, ULLONG_MAX, false, ullraw);
    if (sword.empty() || sword[0] < '0' || sword[0] > '9') return true;
    return tonumber(sword, 10, ULLONG_MAX, false, ullraw);
}

// Word positions of the columns in a row (FLAG is always the third), as the header line names
// them; -1 for a column the layout does not have. Without a header that names them, today's
// default layout.
struct layout {
    int ivalue = 3, iworst = 4, ithresh = 5, itype = 6, ifailed = 8, iraw = 9;

    // ID#, ATTRIBUTE_NAME and FLAG (or FLAGS) first, RAW_VALUE last, every other column known
    // by its name and present once, VALUE, WORST, THRESH and a failure column among them; a
    // header that does not fit keeps the default.
    static layout fromheader(const std::string& sheader) {
        const layout def;
        std::vector<std::string> vwords = words(sheader);
        if (vwords.size() < 7 || vwords[0] != "ID#" || vwords[1] != "ATTRIBUTE_NAME" ||
            (vwords[2] != "FLAG" && vwords[2] != "FLAGS") || vwords.back() != "RAW_VALUE")
            return def;
        layout l;
        l.iraw = static_cast<int>(vwords.size()) - 1;
        const std::pair<const char*, int*> acols[] = {
            {"VALUE", &l.ivalue}, {"WORST", &l.iworst},        {"THRESH", &l.ithresh},
            {"TYPE", &l.itype},   {"WHEN_FAILED", &l.ifailed}, {"FAIL", &l.ifailed},
            {"UPDATED", nullptr}};
        l.ivalue = l.iworst = l.ithresh = l.itype = l.ifailed = -1;
        for (int i = 3; i < l.iraw; ++i) {
            const std::pair<const char*, int*>* pcol = nullptr;
            for (const auto& c : acols)
                if (vwords[static_cast<size_t>(i)] == c.first) pcol = &c;
            if (pcol == nullptr) return def;
            if (pcol->second == nullptr) continue;
            if (*pcol->second != -1) return def;
            *pcol->second = i;
        }
        if (l.ivalue < 0 || l.iworst < 0 || l.ithresh < 0 || l.ifailed < 0) return def;
        return l;
    }

    static std::vector<std::string> words(const std::string& sline) {
        std::vector<char> vbuf(sline.begin(), sline.end());
        vbuf.push_back('\0');
        char sdelim[] = " \t";
        std::vector<std::string> vwords;
        utilities::tokenize(vbuf.data(), sdelim, vwords);
        return vwords;
    }

    // One table row into attr; false (attr unusable) when the row does not fit the columns.
    bool parserow(const std::string& sline, param& attr) const {
        std::vector<std::string> vwords = words(sline);
        if (vwords.size() < 3) return false;
        // 1. The name may hold blanks (smartctl 5.x printed "Head flying hours"): FLAG is the
        //    first word from the third on that fits one of its forms, the name the words
        //    before it, and every later column moves by as many words.
        unsigned int uiflag = 0;
        size_t uflag = 2;
        while (uflag < vwords.size() && !toflag(vwords[uflag], uiflag)) ++uflag;
        if (uflag == vwords.size()) return false;
        const size_t ushift = uflag - 2;
        // 2. Every column present: the raw value is the last and may run on over several words.
        if (vwords.size() < static_cast<size_t>(iraw) + ushift + 1) return false;
        auto col = [&vwords, ushift](int i) -> const std::string& {
            return vwords[static_cast<size_t>(i) + ushift];
        };
        // 3. ID# a whole number; VALUE, WORST and THRESH whole numbers or "---".
        unsigned int uiid, uival, uiworst, uithresh;
        if (!touint(vwords[0], 10, uiid) || !tocolumn(col(ivalue), uival) ||
            !tocolumn(col(iworst), uiworst) || !tocolumn(col(ithresh), uithresh))
            return false;
        // 4. The raw value.
        unsigned long long ullraw = 0;
        if (!torawvalue(col(iraw), ullraw)) return false;
        std::string sname = vwords[1];
        for (size_t i = 2; i < uflag; ++i) sname += " " + vwords[i];
        attr = param();
        attr.set_id(uiid);
        attr.set_name(sname);
        attr.set_flag(uiflag);
        attr.set_value(uival);
        attr.set_worst(uiworst);
        attr.set_threshold(uithresh);
        // 5. TYPE, or in the brief layout the prefailure bit of the flags it stands for.
        if (itype < 0)
            attr.set_failuretype((uiflag & 0x01) != 0 ? e_prefailure : e_oldage);
        else if (col(itype) == "Pre-fail")
            attr.set_failuretype(e_prefailure);
        else if (col(itype) == "Old_age")
            attr.set_failuretype(e_oldage);
        // 6. WHEN_FAILED (FAILING_NOW, In_the_past) or FAIL (NOW, Past): anything but "-".
        attr.set_failed(col(ifailed) != "-");
        attr.set_rawval(ullraw);
        attr.update_health();
        return true;
    }
};
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
// smartctl's own rule: an attribute fails only when its threshold is non-zero and its value is
// at or below it. A threshold of 0 (or none, "---") never fails.
void param::update_health() {
    m_bhealthy = m_uithreshold == 0 || m_uival > m_uithreshold;
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
        velka::detail::refuse(m_plogsrc, s_file, stag,
                              "Device " + m_sblkdev + " refused: value begins with '-'");
        return -1;
    }
    std::string scmd = healthcmd(sqdev);
    std::list<std::string> llines;
    int iret = utilities::popen(scmd, llines, 100);
    if (iret != 0) {
        velka::detail::fail(m_plogsrc, s_file, stag, scmd + " execution failed");
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
        velka::detail::refuse(m_plogsrc, s_file, stag,
                              "Device " + m_sblkdev + " refused: value begins with '-'");
        return -1;
    }
    std::string scmd = attrcmd(sqdev);
    std::list<std::string> llines;
    int iret = utilities::popen(scmd, llines, 100);
    if (iret != 0) {
        velka::detail::fail(m_plogsrc, s_file, stag, scmd + " execution failed");
        return iret;
    }
    parseparams(llines);
    return 0;
}

void smartctl::parseparams(const std::list<std::string>& llines) {
    // 1. Everything up to and including the header line "ID# ATTRIBUTE_NAME ..." is skipped;
    //    the header gives the layout of the rows.
    // 2. Every later non-empty row that fits the columns replaces the attribute of its id;
    //    one unhealthy row turns the attribute verdict false for good.
    bool bheader = false;
    layout cols;
    for (const auto& sraw : llines) {
        if (!bheader) {
            bheader = sraw.find("ID#") != std::string::npos;
            if (bheader) cols = layout::fromheader(utilities::trim(sraw));
            continue;
        }
        std::string sline = utilities::trim(sraw);
        if (sline.empty()) continue;
        param attr;
        if (!cols.parserow(sline, attr)) continue;
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

void smartctl::for_each_attr(const std::function<void(param&)>& fn) {
    if (!fn) return;
    for (auto& it : m_attrmap) fn(it.second);
}

}  // namespace smartctl
}  // namespace velka
