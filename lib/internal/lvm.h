// Report parsing and the udev handler thread of an activation. Internal to the library: not
// exported from libvelka.so; the tests and the fuzz targets reach them through the static build.
#ifndef VELKA_INTERNAL_LVM_H
#define VELKA_INTERNAL_LVM_H

#include <dirent.h>

#include <atomic>
#include <list>
#include <string>

#include <velka/lvm>

namespace velka {
namespace lvm {

// Shared between an activating call and its udev handler thread; lives on the caller's
// stack until the thread has been joined.
struct workitem {
    explicit workitem(lvm* ptr);

    lvm* m_lvmptr;
    std::atomic<bool> m_bdone;
};

// Report parsing, shared with the tests and the fuzzing target. An extent count is the
// query's whole output, blanks around it aside: decimal digits only, at most 18 of them.
// false (ullcount untouched) for anything else: empty output, a sign, a second line.
bool parseextents(const std::string& sout, unsigned long long& ullcount);

// Names, one a line, into lnames (appended); lines that hold no name (empty) are skipped.
void parsenames(const std::list<std::string>& llines, std::list<std::string>& lnames);

// The first line into sname; false (sname untouched) when there is none.
bool parsefirst(const std::list<std::string>& llines, std::string& sname);

// The udev handler thread's body (ptr is a workitem*): scans /dev/mapper every 500 ms until
// m_bdone is set.
void* udevhandler(void* ptr);

// The directory filter of dmscan: no name beginning with "." or with "control".
int lvm_select(const dirent* ent);

}  // namespace lvm
}  // namespace velka

#endif
