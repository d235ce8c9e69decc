// How the library's operations report (not installed). A failure is logged at lvl_err and
// recorded as the thread's last failure (velka::last_error()); progress, successes and the
// fallbacks taken are logged at lvl_err too, or at lvl_info once the core was asked for
// library levels (core::set_library_levels). The command runner keeps the result of the
// last command this thread ran, which the failure that follows it takes over.
#ifndef VELKA_LIB_FAILURE_H
#define VELKA_LIB_FAILURE_H

#include <string>
#include <vector>

#include <velka/lasterror>
#include <velka/logger>

namespace velka {
namespace detail {

// Progress, a success or a fallback taken.
inline void note(velka::logger::source* plog,
                 const char* sfile,
                 const char* sfunc,
                 const std::string& stext) {
    if (plog != nullptr) plog->lognote(sfile, sfunc, stext);
}

// A failure: logged at lvl_err and recorded. The command this thread ran last (its command
// line, exit status and standard error) is attached when no failure was recorded since it
// ran; every occurrence of shide (a password) in them is masked.
void fail(velka::logger::source* plog,
          const char* sfile,
          const char* sfunc,
          const std::string& stext,
          const std::string& shide = std::string());
// A failure whose cause is given: a system call and its path with the errno it set, a
// value refused (ierrno 0). No command is attached.
void failwhat(velka::logger::source* plog,
              const char* sfile,
              const char* sfunc,
              const std::string& stext,
              const std::string& swhat,
              int ierrno = 0);
// A value or a device refused before anything ran: logged and recorded with svalue as what
// failed.
inline void refuse(velka::logger::source* plog,
                   const char* sfile,
                   const char* sfunc,
                   const std::string& stext,
                   const std::string& svalue = std::string()) {
    failwhat(plog, sfile, sfunc, stext, svalue, 0);
}
// A device that is in use, or one of whose partitions is (utilities::inuse), is not touched:
// refused as "Block device {sdev} refused: {what uses it}" and true; false when it is free.
bool refusedinuse(velka::logger::source* plog,
                  const char* sfile,
                  const char* sfunc,
                  const std::string& sdev);
// A failure that follows the failure of an inner call which recorded what failed (another
// operation of the library, or the SCSI pass-through, which records the open or the SG_IO
// call with the device and errno before it throws): that cause (what, exit status, errno,
// standard error) is kept, with this operation's tag and text.
void failcaught(velka::logger::source* plog,
                const char* sfile,
                const char* sfunc,
                const std::string& stext);
// Records without logging (the utilities, which do not log).
void record(const char* sfunc,
            const std::string& stext,
            const std::string& swhat,
            int istatus,
            int ierrno,
            const std::string& serr);

// The runner's note of each command it ran in this thread: the command line, the exit
// status (128 + n for signal n, -1 when it did not start), errno when it did not start, and
// its standard error.
void stagecommand(const std::string& scmd, int istatus, int ierrno, const std::string& serr);

// utilities::system for the library's own managers: the same result, but only staged, so
// that a command whose failure the manager takes in its stride leaves the thread's last
// failure alone.
int system(const std::string& scmd,
           std::string& sout,
           std::string& serr,
           const std::string& slocale = "C",
           const std::vector<std::string>& lextraenv = std::vector<std::string>());

}  // namespace detail
}  // namespace velka

#endif
