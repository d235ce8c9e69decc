// velka::fileio::fileio: a raw file descriptor with complete transfers and kept error numbers.
#include <velka/fileio>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace velka {
namespace fileio {

fileio::fileio() : m_ifd(-1), m_sfile(), m_ierrno(EBADFD) {}

fileio::~fileio() {
    close();
}

int fileio::open(std::string s_file, int flags) {
    m_sfile = s_file;
    if (m_ifd >= 0) {
        ::close(m_ifd);
        m_ifd = -1;
    }
    m_ifd = ::open(s_file.c_str(), flags | O_CLOEXEC);
    if (m_ifd < 0) {
        m_ierrno = errno;
        return -1;
    }
    return 0;
}

int fileio::close() {
    // Descriptor 0 is a valid descriptor too: it is closed like any other.
    if (m_ifd >= 0) {
        ::close(m_ifd);
        m_ifd = -1;
        m_sfile.clear();
    }
    return 0;
}

int fileio::read(char* buff, int size) {
    if (m_ifd < 0) {
        if (m_sfile.empty()) errno = EBADFD;
        return -1;
    }
    if (buff == nullptr || size < 0) {
        m_ierrno = errno = EINVAL;
        return -1;
    }
    int idone = 0;
    while (idone < size) {
        ssize_t n = ::read(m_ifd, buff + idone, static_cast<size_t>(size - idone));
        if (n < 0) {
            if (errno == EINTR) continue;
            m_ierrno = errno;
            return -1;
        }
        if (n == 0) break;
        idone += static_cast<int>(n);
    }
    return idone;
}

int fileio::write(const char* buff, int size) {
    if (m_ifd < 0) {
        if (m_sfile.empty()) errno = EBADFD;
        return -1;
    }
    if (buff == nullptr || size < 0) {
        m_ierrno = errno = EINVAL;
        return -1;
    }
    int idone = 0;
    while (idone < size) {
        ssize_t n = ::write(m_ifd, buff + idone, static_cast<size_t>(size - idone));
        if (n < 0) {
            if (errno == EINTR) continue;
            m_ierrno = errno;
            return -1;
        }
        if (n == 0) break;
        idone += static_cast<int>(n);
    }
    return idone;
}

int fileio::geterrno() {
    return m_ierrno;
}

}  // namespace fileio
}  // namespace velka
