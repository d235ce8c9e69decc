// The run-and-log step shared by the managers that run tools through the shell (not
// installed): the announcement naming the command line is logged, the command runs, and a
// failure is logged followed by the tool's error text.
#ifndef VELKA_LIB_RUNLOGGED_H
#define VELKA_LIB_RUNLOGGED_H

#include <string>

#include <velka/logger>
#include <velka/utilities>

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
    velka::logger::LOG(plog, sfile, stag, sannounce);
    std::string serr;
    int iret = velka::utilities::utilities::system(scmd, sout, serr);
    if (iret != 0) velka::logger::LOG(plog, sfile, stag, sfailure + serr);
    return iret;
}

}  // namespace detail
}  // namespace velka

#endif
