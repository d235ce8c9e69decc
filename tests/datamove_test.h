// Shared by the copy and archiver tests: a log capture (a logging core with a file sink in a
// temporary directory and one source on it) and file contents that differ at every offset.
#ifndef VELKA_TESTS_DATAMOVE_TEST_H
#define VELKA_TESTS_DATAMOVE_TEST_H

#include <cstdint>
#include <string>

#include <velka/logger>

#include "velka_test.h"

namespace datamove_test {

inline bool everylevel(velka::logger::log_level_t) {
    return true;
}

// text() stops the core, so every line logged before has reached the file.
class logcapture {
public:
    logcapture()
        : m_spath(m_dir / "velka.log"),
          m_pcore(new velka::logger::core(4096)),
          m_psource(new velka::logger::source(m_pcore, everylevel)) {
        m_pcore->add_sink(velka::logger::FILE_SINK, m_spath);
    }
    ~logcapture() {
        stop();
    }
    logcapture(const logcapture&) = delete;
    logcapture& operator=(const logcapture&) = delete;
    velka::logger::source* source() {
        return m_psource;
    }
    std::string text() {
        stop();
        return velka_test::slurp(m_spath);
    }

private:
    void stop() {
        delete m_psource;
        m_psource = nullptr;
        delete m_pcore;
        m_pcore = nullptr;
    }
    velka_test::tempdir m_dir;
    std::string m_spath;
    velka::logger::core* m_pcore;
    velka::logger::source* m_psource;
};

inline bool contains(const std::string& stext, const std::string& spart) {
    return stext.find(spart) != std::string::npos;
}

// Bytes that differ at every offset, so a misplaced or repeated extent shows.
inline std::string pattern(size_t ulen, uint64_t useed) {
    std::string s(ulen, '\0');
    uint64_t x = useed * 2654435761u + 1;
    for (size_t i = 0; i < ulen; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x);
    }
    return s;
}

}  // namespace datamove_test

#endif
