// Helpers shared by the sections of velka-inventory: values written safely into JSON, into the
// table and into Prometheus' text format, and running independent steps one after another or
// each on a thread of its own.
#ifndef VELKA_TOOLS_INVENTORY_COMMON_H
#define VELKA_TOOLS_INVENTORY_COMMON_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace invtools {

// The text as valid UTF-8: every byte that does not belong to a well-formed sequence (a stray
// continuation byte, a sequence cut short, an overlong form, a surrogate, a code point above
// U+10FFFF) becomes U+FFFD, one for each maximal ill-formed part; valid text is unchanged.
std::string utf8(const std::string& s);
// A JSON string: the text made valid UTF-8, then quotes, backslashes and control bytes escaped
// (\n, \t, \uXXXX); everything else, UTF-8 included, as it is.
std::string jsonstring(const std::string& s);
// A JSON array of the elements (JSON texts), each on a line of its own indented by iindent
// blanks and the closing bracket by iindent - 2; "[]" when there is none.
std::string jsonlines(const std::vector<std::string>& velements, int iindent);
// A JSON number with idigits decimals; null for NaN and infinities, which JSON cannot hold.
std::string jsonnumber(double d, int idigits = 2);
// Control bytes, bytes from 0x7f and backslashes as octal escapes, so every value stays on its
// line of the table.
std::string printable(const std::string& s);
// One row of the table: iindent blanks, the key padded to iwidth, a blank and the value made
// printable, then a newline. A value of any length stays whole and on its own row.
std::string row(int iindent, int iwidth, const std::string& skey, const std::string& svalue);

// Prometheus' text exposition format. Samples are grouped by metric name, each name opened
// once by its HELP and TYPE lines (all metrics are gauges), in the order names first appear.
class promtext {
public:
    // slabels: the text between the braces, as label() pairs joined by commas; "" for none.
    // A value that is not finite is left out.
    void add(const std::string& sname,
             const std::string& shelp,
             const std::string& slabels,
             double dvalue);
    std::string text() const;

private:
    struct family {
        std::string sname, shelp;
        std::vector<std::string> vsamples;
    };
    std::vector<family> m_vfamilies;
};
// name="value" with the value made valid UTF-8 and escaped as the text format asks: \\, \"
// and \n; every other character, UTF-8 included, as it is.
std::string label(const std::string& sname, const std::string& svalue);
std::string labels(const std::vector<std::pair<std::string, std::string>>& vpairs);

// The kernel's name of a block device as node_exporter's disk metrics name it ("sda",
// "nvme0n1", "dm-3"): the device node's path with its links resolved, without "/dev/". A path
// that does not lead into /dev is returned as it is.
std::string kernelname(const std::string& sdevice);

// A sysfs attribute's text without the blanks and newline around it; empty when unreadable.
std::string attribute(const std::string& spath);

// Runs every step: when bconcurrent on up to umax threads at once (0: each step on a thread
// of its own; the steps start in their order) and waits for all, else one after another in
// order. Steps write only to their own results.
void runsteps(const std::vector<std::function<void()>>& vsteps, bool bconcurrent, size_t umax = 0);
// The bound for steps that each start processes (smartctl and its shell per disk): eight times
// the processors. The steps mostly wait (the disk, and the fixed 100 ms of each library query
// before it reads), so fewer threads would cost time on a large shelf without saving any.
size_t poolsize();

}  // namespace invtools

#endif
