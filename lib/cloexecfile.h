// File streams of the library whose descriptor is close-on-exec from the moment it is opened.
// std::ifstream and std::ofstream open without O_CLOEXEC, so a command started by any thread
// while such a stream is open (the archiver runs tar while its list is open) inherits the
// descriptor. These open with open(2) and O_CLOEXEC and read or write through a stdio_filebuf
// that owns the descriptor.
#ifndef VELKA_LIB_CLOEXECFILE_H
#define VELKA_LIB_CLOEXECFILE_H

#include <fcntl.h>

#include <ext/stdio_filebuf.h>
#include <istream>
#include <memory>
#include <ostream>
#include <string>

namespace velka {
namespace cloexecfile {

typedef __gnu_cxx::stdio_filebuf<char> filebuf;

// A stream over a descriptor it owns; a descriptor below 0 leaves the stream failed.
template <class Stream>
class fdstream : public Stream {
public:
    bool is_open() const {
        return m_pbuf && m_pbuf->is_open();
    }
    void close() {
        if (!m_pbuf || m_pbuf->close() == nullptr) this->setstate(std::ios::failbit);
    }

protected:
    fdstream() : Stream(nullptr) {}
    void attach(int ifd, std::ios::openmode mode) {
        m_pbuf.reset(ifd < 0 ? nullptr : new filebuf(ifd, mode));
        this->rdbuf(m_pbuf.get());
        if (ifd < 0) this->setstate(std::ios::failbit);
    }

private:
    std::unique_ptr<filebuf> m_pbuf;
};

// A file opened for reading. A failed open leaves the stream failed, errno as open(2) set it.
class ifile : public fdstream<std::istream> {
public:
    ifile() = default;
    explicit ifile(const std::string& spath) {
        open(spath);
    }
    void open(const std::string& spath) {
        attach(::open(spath.c_str(), O_RDONLY | O_CLOEXEC), std::ios::in);
    }
};

// A file opened for writing, created when missing (mode 0666 less the umask), emptied first
// or appended to. close() flushes and reports a failed write or close in the stream's state.
class ofile : public fdstream<std::ostream> {
public:
    ofile(const std::string& spath, bool bappend) {
        attach(::open(spath.c_str(),
                      O_WRONLY | O_CREAT | O_CLOEXEC | (bappend ? O_APPEND : O_TRUNC), 0666),
               std::ios::out);
    }
};

}  // namespace cloexecfile
}  // namespace velka

#endif
