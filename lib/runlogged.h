// The run-and-log step shared by the managers that run tools through the shell (not
// installed): the announcement naming the command line is logged, the command runs, and a
// failure is logged followed by the tool's error text.
#ifndef VELKA_LIB_RUNLOGGED_H
#define VELKA_LIB_RUNLOGGED_H

#include <string>

#include <velka/logger>
#include <velka/utilities>

#include "failure.h"

namespace velka {
namespace detail {

// Logs sannounce, runs scmd, and when it fails logs sfailure followed by the tool's standard
// error. The command's result; its standard output in sout.
inline int runlogged(velka::logger::source* plog,
                     const char* sfile,
                     const char* stag,
                     const std::string& sannounce,
                     const std::string& scmd,
                     const std::string& sfailure,
                     std::string& sout) {
    velka::detail::note(plog, sfile, stag, sannounce);
    std::string serr;
    int iret = velka::detail::system(scmd, sout, serr);
    if (iret != 0) velka::detail::fail(plog, sfile, stag, sfailure + serr);
    return iret;
}

// The same for a query whose output must be of one form: the shell returns the status of a
// pipeline's last stage, so a first tool that fails gives empty output and success, and the
// output decides. true when the command succeeds and baccept(sout) holds; otherwise sfailure
// is logged followed by the tool's standard error, or, when it wrote none, by
// "no {swhat} in the output "{trimmed output}"".
template <typename accept>
bool runjudged(velka::logger::source* plog,
               const char* sfile,
               const char* stag,
               const std::string& sannounce,
               const std::string& scmd,
               const std::string& sfailure,
               const char* swhat,
               std::string& sout,
               accept baccept) {
    velka::detail::note(plog, sfile, stag, sannounce);
    std::string serr;
    int iret = velka::detail::system(scmd, sout, serr);
    if (iret == 0 && baccept(sout)) return true;
    velka::detail::fail(
        plog, sfile, stag,
        sfailure + (serr.empty() ? std::string("no ") + swhat + " in the output \"" +
                                       velka::utilities::utilities::trim(sout) + "\""
                                 : serr));
    return false;
}

}  // namespace detail
}  // namespace velka

#endif
