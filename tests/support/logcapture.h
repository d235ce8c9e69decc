// Log capture for tests of modules that log: a logging core with a file sink in a temporary
// directory and one source on it. messages() and text() stop the core's writing (every entry
// queued so far reaches the file); messages() returns each record as
// "{file}::{function}( )  {text}", the characters the line shows as \n, \r, \t, \xNN or
// \uNNNN turned back into themselves (a text's trailing newline is not in the file; has()
// compares without it).
#ifndef VELKA_TEST_LOGCAPTURE_H
#define VELKA_TEST_LOGCAPTURE_H

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <velka/logger>

#include "velka_test.h"

namespace velka_test {

class logcapture {
public:
    logcapture()
        : m_sfile(m_dir / "velka.log"), m_pcore(new velka::logger::core(4096)), m_bstopped(false) {
        m_pcore->add_sink(velka::logger::FILE_SINK, m_sfile);
        m_psrc.reset(new velka::logger::source(m_pcore.get(), &everything));
    }
    logcapture(const logcapture&) = delete;
    logcapture& operator=(const logcapture&) = delete;
    velka::logger::source* src() {
        return m_psrc.get();
    }
    // The whole file as written, once the core has stopped writing.
    std::string text() {
        messages();
        return velka_test::slurp(m_sfile);
    }
    // Stops writing for good (the file sink is removed once what was queued is in the file);
    // later calls return the same records. The source stays valid: what is logged afterwards
    // is dropped.
    std::vector<std::string> messages() {
        if (!m_bstopped) {
            m_pcore->del_sink(velka::logger::FILE_SINK);
            m_bstopped = true;
            parse();
        }
        return m_lmessages;
    }
    bool has(std::string smessage) {
        auto l = messages();
        if (!smessage.empty() && smessage.back() == '\n') smessage.pop_back();
        return std::find(l.begin(), l.end(), smessage) != l.end();
    }
    // Records whose text contains the piece.
    size_t count_containing(const std::string& spiece) {
        auto l = messages();
        return std::count_if(l.begin(), l.end(), [&](const std::string& s) {
            return s.find(spiece) != std::string::npos;
        });
    }

private:
    static bool everything(velka::logger::log_level) {
        return true;
    }
    // A record starts with the process id, the thread id, the time and the level:
    // "0x04d2 0x004700   2024-01-02 03:04:05.000123  ERR " and then its text.
    static bool recordstart(const std::string& s, std::string& stext) {
        size_t p = 0;
        for (int i = 0; i < 2; ++i) {
            if (s.compare(p, 2, "0x") != 0) return false;
            size_t e = s.find(' ', p + 2);
            if (e == std::string::npos || e == p + 2 ||
                s.find_first_not_of("0123456789abcdef", p + 2) != e)
                return false;
            p = e + 1;
        }
        if (s.compare(p, 2, "  ") != 0 || s.size() < p + 2 + 26 + 6) return false;
        p += 2;
        if (s[p + 4] != '-' || s[p + 10] != ' ' || s[p + 19] != '.') return false;
        p += 26;
        if (s.compare(p, 6, "  ERR ") != 0) return false;
        stext = s.substr(p + 6);
        return true;
    }
    static std::string unescape(const std::string& s) {
        std::string sout;
        for (size_t i = 0; i < s.size(); ++i) {
            char c = i + 1 < s.size() && s[i] == '\\' ? s[i + 1] : 0;
            if (c == 'n' || c == 'r' || c == 't') {
                sout += c == 'n' ? '\n' : c == 'r' ? '\r' : '\t';
                ++i;
            } else if (c == 'x' && i + 3 < s.size() && isxdigit(s[i + 2]) && isxdigit(s[i + 3])) {
                sout += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
                i += 3;
            } else if (c == 'u' && i + 5 < s.size() &&
                       s.find_first_not_of("0123456789abcdef", i + 2) >= i + 6) {
                // \u0085, \u202e: back to UTF-8 (2 or 3 bytes for these code points).
                unsigned long ucp = std::stoul(s.substr(i + 2, 4), nullptr, 16);
                if (ucp >= 0x800) sout += static_cast<char>(0xe0 | (ucp >> 12));
                if (ucp < 0x800) sout += static_cast<char>(0xc0 | (ucp >> 6));
                if (ucp >= 0x800) sout += static_cast<char>(0x80 | ((ucp >> 6) & 0x3f));
                sout += static_cast<char>(0x80 | (ucp & 0x3f));
                i += 5;
            } else {
                sout += s[i];
            }
        }
        return sout;
    }
    void parse() {
        std::istringstream in(velka_test::slurp(m_sfile));
        std::string sline, stext;
        while (std::getline(in, sline)) {
            if (recordstart(sline, stext))
                m_lmessages.push_back(unescape(stext));
            else if (!m_lmessages.empty())
                m_lmessages.back() += "\n" + sline;
        }
    }
    velka_test::tempdir m_dir;
    std::string m_sfile;
    std::unique_ptr<velka::logger::core> m_pcore;
    std::unique_ptr<velka::logger::source> m_psrc;
    bool m_bstopped;
    std::vector<std::string> m_lmessages;
};

// The record of one message: module file, function tag and text.
inline std::string msg(const std::string& sfile, const std::string& sfunc, const std::string& s) {
    return sfile + "::" + sfunc + "( )  " + s;
}

}  // namespace velka_test

#endif
