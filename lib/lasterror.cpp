// The thread's last failure, and the runner's note of the last command that a failure may
// take over. Both are thread-local through the general dynamic TLS model (no initial-exec
// TLS), so the library stays loadable with dlopen.
#include <velka/lasterror>
#include <velka/utilities>

#include <algorithm>
#include <cstring>

#include "failure.h"

namespace velka {

namespace {

const size_t s_errlines = 8;
const size_t s_errbytes = 1024;

struct stagedcommand {
    std::string scmd;
    int istatus = -1;
    int ierrno = 0;
    std::string serr;
    bool bfresh = false;
};

thread_local failure t_last;
thread_local stagedcommand t_staged;

// The first s_errlines lines of serr, at most s_errbytes bytes.
std::string firstlines(const std::string& serr) {
    size_t uend = 0;
    for (size_t i = 0; i < s_errlines && uend < serr.size(); ++i) {
        size_t unl = serr.find('\n', uend);
        uend = unl == std::string::npos ? serr.size() : unl + 1;
    }
    return serr.substr(0, std::min(uend, s_errbytes));
}

void hide(std::string& s, const std::string& shide) {
    if (shide.empty()) return;
    for (size_t pos = s.find(shide); pos != std::string::npos; pos = s.find(shide, pos + 8))
        s.replace(pos, shide.size(), "********");
}

}  // namespace

std::string failure::tostr() const {
    if (empty()) return "";
    std::string s = m_sfunction + ": " + m_smessage;
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    if (m_istatus > 0) s += " (exit status " + std::to_string(m_istatus) + ")";
    std::string serrno = m_ierrno != 0 ? strerror(m_ierrno) : "";
    if (!serrno.empty() && s.find(serrno) == std::string::npos) s += " (" + serrno + ")";
    return s;
}

failure last_error() {
    return t_last;
}

failure last_command() {
    failure f;
    f.m_swhat = t_staged.scmd;
    f.m_istatus = t_staged.istatus;
    f.m_ierrno = t_staged.ierrno;
    f.m_serr = t_staged.serr;
    return f;
}

namespace detail {

void record(const char* sfunc,
            const std::string& stext,
            const std::string& swhat,
            int istatus,
            int ierrno,
            const std::string& serr) {
    t_last.m_sfunction = sfunc != nullptr ? sfunc : "";
    t_last.m_smessage = stext;
    t_last.m_swhat = swhat;
    t_last.m_istatus = istatus;
    t_last.m_ierrno = ierrno;
    t_last.m_serr = firstlines(serr);
    t_staged.bfresh = false;
}

void stagecommand(const std::string& scmd, int istatus, int ierrno, const std::string& serr) {
    t_staged.scmd = scmd;
    t_staged.istatus = istatus;
    t_staged.ierrno = ierrno;
    t_staged.serr = firstlines(serr);
    t_staged.bfresh = true;
}

void fail(velka::logger::source* plog,
          const char* sfile,
          const char* sfunc,
          const std::string& stext,
          const std::string& shide) {
    std::string smsg = stext;
    hide(smsg, shide);
    velka::logger::LOG(plog, sfile, sfunc, smsg);
    if (!t_staged.bfresh) {
        record(sfunc, smsg, "", -1, 0, "");
        return;
    }
    std::string scmd = t_staged.scmd, serr = t_staged.serr;
    hide(scmd, shide);
    hide(serr, shide);
    record(sfunc, smsg, scmd, t_staged.istatus, t_staged.ierrno, serr);
}

void failwhat(velka::logger::source* plog,
              const char* sfile,
              const char* sfunc,
              const std::string& stext,
              const std::string& swhat,
              int ierrno) {
    velka::logger::LOG(plog, sfile, sfunc, stext);
    record(sfunc, stext, swhat, -1, ierrno, "");
}

bool refusedinuse(velka::logger::source* plog,
                  const char* sfile,
                  const char* sfunc,
                  const std::string& sdev) {
    std::string susage;
    if (!utilities::utilities::inuse(sdev, susage)) return false;
    refuse(plog, sfile, sfunc, "Block device " + sdev + " refused: " + susage, sdev);
    return true;
}

void failcaught(velka::logger::source* plog,
                const char* sfile,
                const char* sfunc,
                const std::string& stext) {
    velka::logger::LOG(plog, sfile, sfunc, stext);
    record(sfunc, stext, t_last.m_swhat, t_last.m_istatus, t_last.m_ierrno, t_last.m_serr);
}

}  // namespace detail
}  // namespace velka
