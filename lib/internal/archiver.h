// The archiver's workers and the reading of a list line. Internal to the library: not exported
// from libvelka.so; the tests and the fuzz targets reach them through the static build.
#ifndef VELKA_INTERNAL_ARCHIVER_H
#define VELKA_INTERNAL_ARCHIVER_H

#include <string>

#include <velka/archiver>

namespace velka {
namespace archiver {

// A worker's reading of one list line: its first two blank-separated words (source and
// archive when creating, archive and directory when extracting) and, in scmd, the tar
// command line they make. false when a word is missing, holds a NUL byte or begins with
// "-" (tar would read it as an option); scmd is then empty.
bool parselistline(const std::string& sline, bool bcreate, std::string& scmd);

// Workers: take lines from the list until it ends or one of their jobs fails. task is an
// archivetaskdata*. Both return null.
void* creategzippedtar(void* task);

void* extractgzippedtar(void* task);

}  // namespace archiver
}  // namespace velka

#endif
