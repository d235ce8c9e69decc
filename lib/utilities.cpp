// String and number helpers, the shell quoting helper, command execution and file helpers
// of velka::utilities::utilities. Every manager of the library builds its command lines and
// parses tool output with these functions; none of them logs.
#include <velka/utilities>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include <velka/scoped_array>

#include "cloexecfile.h"
#include "failure.h"
#include "internal/utilities.h"

extern char** environ;

namespace velka {
namespace utilities {

namespace {

const std::string s_whitespace(" \n\r\t");
const unsigned int s_convbufsize = 1024;
const unsigned int s_linebufsize = 4096;
const char* const s_runcmd_hold = "/tmp/runcmd.debug";
const char* const s_shell = "/bin/sh";
const char* const s_devnull = "/dev/null";
const char* const s_childlocale = "C";

// Process creation of the library is serialised: between creating a child's pipes and
// closing the parent's copies of their write ends, no other thread of the library forks,
// so no child inherits another command's pipe and holds its end-of-file back.
std::mutex s_spawnlock;

// The environment of every child: the caller's, with LC_ALL=C (or the locale asked for) in
// place of any LC_ALL, so tools print the English text the parsers expect, and then each of
// lextra ("NAME=value") in place of any variable of its name. The calling process is never
// changed.
std::vector<char*> childenv(std::vector<std::string>& lstore,
                            const std::string& slocale = s_childlocale,
                            const std::vector<std::string>& lextra = std::vector<std::string>()) {
    lstore.clear();
    for (char** pe = environ; pe != nullptr && *pe != nullptr; ++pe) lstore.emplace_back(*pe);
    std::vector<std::string> lset(1, "LC_ALL=" + slocale);
    lset.insert(lset.end(), lextra.begin(), lextra.end());
    for (const auto& sentry : lset) {
        std::string sname = sentry.substr(0, sentry.find('=')) + "=";
        lstore.erase(std::remove_if(lstore.begin(), lstore.end(),
                                    [&](const std::string& s) {
                                        return s.compare(0, sname.size(), sname) == 0;
                                    }),
                     lstore.end());
        lstore.push_back(sentry);
    }
    std::vector<char*> venv;
    venv.reserve(lstore.size() + 1);
    for (auto& s : lstore) venv.push_back(&s[0]);
    venv.push_back(nullptr);
    return venv;
}

// Standard input of a command: /dev/null, or where there is none (a private /dev, an early
// boot environment) the read end of an empty pipe whose write end is closed: either way the
// command reads end of file at once. Close-on-exec; -1 with errno set when neither opens.
int emptyinput() {
    int ifd = ::open(s_devnull, O_RDONLY | O_CLOEXEC);
    if (ifd >= 0) return ifd;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    ::close(fds[1]);
    return fds[0];
}

// Starts spath, or when spath is null largv[0] (searched on PATH when it holds no '/'), with
// the arguments largv and the environment venv, standard input from /dev/null and its
// standard output and standard error each on a new pipe, then the redirections of lredirs in
// order; the read ends (close-on-exec) come back in *poutfd and *perrfd. The pipes are
// created and the parent's copies of their write ends closed under s_spawnlock. The child's
// pid, or -1 with errno set (posix_spawn's error when the program could not be started) and
// no pipe left open.
pid_t spawnargv(const char* spath,
                std::vector<std::string>& largv,
                const std::vector<detail::redirection>& lredirs,
                std::vector<char*>& venv,
                int* poutfd,
                int* perrfd) {
    std::vector<char*> argv;
    for (auto& s : largv) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    int fds[2][2];
    std::lock_guard<std::mutex> guard(s_spawnlock);
    int iinfd = emptyinput();
    if (iinfd < 0) return -1;
    for (int i = 0; i < 2; ++i) {
        if (pipe2(fds[i], O_CLOEXEC) == 0) continue;
        int ierr = errno;
        for (int j = 0; j < i; ++j) {
            ::close(fds[j][0]);
            ::close(fds[j][1]);
        }
        ::close(iinfd);
        errno = ierr;
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, iinfd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[0][1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1][1], STDERR_FILENO);
    for (const auto& r : lredirs) {
        if (r.itofd >= 0)
            posix_spawn_file_actions_adddup2(&actions, r.itofd, r.ifd);
        else
            posix_spawn_file_actions_addopen(&actions, r.ifd, s_devnull,
                                             O_WRONLY | O_CREAT | O_TRUNC, 0666);
    }
    pid_t pid = -1;
    int irc = spath == nullptr && largv[0].find('/') == std::string::npos
                  ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), venv.data())
                  : posix_spawn(&pid, spath != nullptr ? spath : argv[0], &actions, nullptr,
                                argv.data(), venv.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(iinfd);
    for (int i = 0; i < 2; ++i) ::close(fds[i][1]);
    if (irc != 0) {
        for (int i = 0; i < 2; ++i) ::close(fds[i][0]);
        errno = irc;
        return -1;
    }
    *poutfd = fds[0][0];
    *perrfd = fds[1][0];
    return pid;
}

// Starts scmd: a simple command (see detail::simplecommand) directly, without a shell in
// front of it, as the shell would have run it; anything else, or a simple command that cannot
// be started directly (a tool that is not installed, a script without "#!"), by /bin/sh -c
// scmd, which then runs it or reports why not exactly as for any other command.
pid_t spawncommand(const std::string& scmd,
                   const std::vector<std::string>& lextra,
                   std::vector<char*>& venv,
                   int* poutfd,
                   int* perrfd) {
    std::vector<std::string> lwords;
    std::vector<detail::redirection> lredirs;
    bool bpathset = false;
    for (const auto& s : lextra) bpathset = bpathset || s.compare(0, 5, "PATH=") == 0;
    // The shell searches the PATH of the child's environment; posix_spawnp searches ours.
    if (!bpathset && ::getenv("PATH") != nullptr && detail::simplecommand(scmd, lwords, lredirs)) {
        pid_t pid = spawnargv(nullptr, lwords, lredirs, venv, poutfd, perrfd);
        if (pid >= 0) return pid;
    }
    std::vector<std::string> lshell = {"sh", "-c", scmd};
    return spawnargv(s_shell, lshell, {}, venv, poutfd, perrfd);
}

// Reads both pipes until each reaches end of file, appending to its own string.
void drain(int ioutfd, int ierrfd, std::string& sout, std::string& serr) {
    char buf[65536];
    struct pollfd fds[2];
    fds[0].fd = ioutfd;
    fds[0].events = POLLIN;
    fds[1].fd = ierrfd;
    fds[1].events = POLLIN;
    std::string* targets[2] = {&sout, &serr};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        int irc = ::poll(fds, 2, -1);
        if (irc < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                targets[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                fds[i].fd = -1;  // end of file or a broken pipe: this side is done
            }
        }
    }
}

// The exit status of a wait status: the code of a normal exit, 128 + n for signal n (as the
// shell reports it), -1 otherwise.
int exitstatus(int iwait) {
    if (WIFEXITED(iwait)) return WEXITSTATUS(iwait);
    if (WIFSIGNALED(iwait)) return 128 + WTERMSIG(iwait);
    return -1;
}

// The one runner of shell commands: /bin/sh -c scmd with the caller's environment, LC_ALL set
// to slocale and lextra added, standard input from /dev/null, both outputs captured (sout and
// serr are cleared first). imsec milliseconds are slept once the command has started. The
// command's exit status (see exitstatus), or -1 with errno set when it could not be started
// or waited for. The result is staged as this thread's last command.
int runshell(const std::string& scmd,
             const std::vector<std::string>& lextra,
             const std::string& slocale,
             unsigned int imsec,
             std::string& sout,
             std::string& serr) {
    sout.clear();
    serr.clear();
    std::vector<std::string> lstore;
    std::vector<char*> venv = childenv(lstore, slocale, lextra);
    int ioutfd = -1, ierrfd = -1;
    pid_t pid = spawncommand(scmd, lextra, venv, &ioutfd, &ierrfd);
    int istatus = -1, ierrno = 0;
    if (pid < 0) {
        ierrno = errno;
    } else {
        if (imsec != 0) utilities::millisleep(imsec);
        drain(ioutfd, ierrfd, sout, serr);
        ::close(ioutfd);
        ::close(ierrfd);
        int iwait = 0;
        int irc;
        while ((irc = waitpid(pid, &iwait, 0)) < 0 && errno == EINTR) {
        }
        if (irc < 0)
            ierrno = errno;
        else
            istatus = exitstatus(iwait);
    }
    velka::detail::stagecommand(scmd, istatus, ierrno, serr);
    errno = ierrno;
    return istatus;
}

// Output lines, split at newlines only (a NUL byte is an ordinary byte of its line), each
// trimmed. A line longer than s_linebufsize - 1 bytes comes in pieces of that size; the newline
// that ends it adds no empty element. Empty lines stay empty elements; text after the last
// newline is a last line.
template <typename Container>
void splitinto(const std::string& stext, Container& loutput) {
    const size_t ulimit = s_linebufsize - 1;
    size_t upos = 0;
    while (upos < stext.size()) {
        size_t uend = stext.find('\n', upos);
        size_t ulen = (uend == std::string::npos ? stext.size() : uend) - upos;
        if (ulen == 0) loutput.push_back(std::string());
        for (size_t uoff = 0; uoff < ulen; uoff += ulimit)
            loutput.push_back(
                utilities::trim(stext.substr(upos + uoff, std::min(ulimit, ulen - uoff))));
        if (uend == std::string::npos) break;
        upos = uend + 1;
    }
}

template <typename Container>
int popenlines(const std::string& scmd,
               Container& loutput,
               int imsec,
               const std::string& slocale = s_childlocale) {
    std::string sout, serr;
    int istatus = runshell(scmd, std::vector<std::string>(), slocale,
                           imsec > 0 ? static_cast<unsigned int>(imsec) : 0u, sout, serr);
    if (istatus < 0) {
        int ierr = errno;
        velka::detail::record("utilities::popen", "Command could not be run", scmd, -1, ierr, "");
        errno = ierr;
        return -1;
    }
    loutput.clear();
    splitinto(sout, loutput);
    return 0;
}

template <typename T>
std::string formatvalue(const char* sfmt, T value) {
    scoped_array::scoped_array<char> buf(s_convbufsize);
    snprintf(buf.get(), buf.size(), sfmt, value);
    return std::string(buf.get());
}

// atol-style conversion without undefined behaviour on overflow: strtol saturates.
long tolong(const std::string& s_value) {
    return ::strtol(s_value.c_str(), nullptr, 10);
}

int toint(const std::string& s_value) {
    long l = tolong(s_value);
    if (l > INT_MAX) return INT_MAX;
    if (l < INT_MIN) return INT_MIN;
    return static_cast<int>(l);
}

template <typename Container>
void tokenizeinto(const char* c_str, const char* c_delim, Container& tokens) {
    tokens.clear();
    if (c_str == nullptr || c_delim == nullptr) return;
    size_t ulen = strlen(c_str);
    std::vector<char> copy(c_str, c_str + ulen + 1);
    char* psave = nullptr;
    for (char* ptok = strtok_r(copy.data(), c_delim, &psave); ptok != nullptr;
         ptok = strtok_r(nullptr, c_delim, &psave)) {
        tokens.push_back(ptok);
    }
}

int nvsplit(const std::string& s_info,
            std::string::size_type pos,
            std::string& s_name,
            std::string& s_value) {
    if (pos == std::string::npos) return -1;
    s_name = utilities::trim(s_info.substr(0, pos));
    s_value = utilities::trim(s_info.substr(pos + 1));
    return 0;
}

// Writes each element and a newline, flushed per line; -1 at the first bad stream state.
int writeeach(std::ostream& outpstream, const std::list<std::string>& lentry) {
    for (const auto& s : lentry) {
        if (!outpstream.good()) return -1;
        outpstream << s << '\n';
        outpstream.flush();
    }
    return outpstream.good() || lentry.empty() ? 0 : -1;
}

int writelines(const std::string& sfilepath, bool bappend, const std::list<std::string>& lentry) {
    cloexecfile::ofile out(sfilepath, bappend);
    int irc = writeeach(out, lentry);
    out.close();
    return irc;
}

}  // namespace

// ---- Trimming ----

std::string utilities::trim_left(std::string s_str) {
    std::string::size_type pos = s_str.find_first_not_of(s_whitespace);
    if (pos == std::string::npos) return std::string();
    return s_str.substr(pos);
}

std::string utilities::trim_right(std::string s_str) {
    return trim_right(s_str, s_whitespace);
}

std::string utilities::trim(std::string s_str) {
    return trim_right(trim_left(s_str));
}

std::string utilities::trim_right(std::string s_str, std::string terminator) {
    std::string::size_type pos = s_str.find_last_not_of(terminator);
    if (pos == std::string::npos) return std::string();
    return s_str.substr(0, pos + 1);
}

// ---- Conversions ----

std::string utilities::ultostr(unsigned long ul_value) {
    return formatvalue("%lu", ul_value);
}

std::string utilities::uitostr(unsigned int ui_value) {
    return formatvalue("%u", ui_value);
}

std::string utilities::ltostr(long l_value) {
    return formatvalue("%ld", l_value);
}

std::string utilities::itostr(int i_value) {
    return formatvalue("%d", i_value);
}

std::string utilities::booltostr(bool bval) {
    return bval ? "true" : "false";
}

unsigned long utilities::strtoul(std::string s_value) {
    return static_cast<unsigned long>(tolong(s_value));
}

unsigned int utilities::strtoui(std::string s_value) {
    // Non-negative values saturate at the unsigned limit; negative ones wrap as atoi's do.
    long lvalue = tolong(s_value);
    if (lvalue < 0) return static_cast<unsigned int>(toint(s_value));
    if (lvalue > static_cast<long>(UINT_MAX)) return UINT_MAX;
    return static_cast<unsigned int>(lvalue);
}

int utilities::strtoi(std::string s_value) {
    return toint(s_value);
}

long utilities::strtol(std::string s_value) {
    return tolong(s_value);
}

// ---- Name/value splitting, joining and searching ----

int utilities::nvpair(std::string s_info, std::string& s_name, std::string& s_value) {
    return nvsplit(s_info, s_info.find(':'), s_name, s_value);
}

int utilities::nvpair_token(std::string s_info,
                            std::string& s_name,
                            std::string& s_value,
                            std::string token) {
    if (token.empty()) return -1;
    return nvsplit(s_info, s_info.find_first_of(token), s_name, s_value);
}

std::string utilities::append(std::string& s_dest, std::string s_src, std::string s_delim) {
    if (!s_src.empty()) {
        if (!s_dest.empty()) s_dest += s_delim;
        s_dest += s_src;
    }
    return s_dest;
}

std::string utilities::merge(const std::list<std::string>& lstrlist,
                             const std::string& sseparator) {
    std::string sresult;
    for (const auto& s : lstrlist) append(sresult, s, sseparator);
    return sresult;
}

bool utilities::present(const std::list<std::string>& l_str_list, std::string s_str) {
    for (const auto& s : l_str_list) {
        if (strcmp(s.c_str(), s_str.c_str()) == 0) return true;
    }
    return false;
}

bool utilities::searchkvmap(const std::map<std::string, std::string>& kvmap,
                            std::string key,
                            std::string& value) {
    auto it = kvmap.find(key);
    if (it == kvmap.end()) return false;
    value = it->second;
    return true;
}

void utilities::removechar(std::string inp, char ch, std::string& outp) {
    outp.clear();
    for (char c : inp) {
        if (c != ch) outp.push_back(c);
    }
}

void utilities::tokenize(const char* c_str, const char* c_delim, std::list<std::string>& l_tokens) {
    tokenizeinto(c_str, c_delim, l_tokens);
}

void utilities::tokenize(const char* c_str,
                         const char* c_delim,
                         std::vector<std::string>& v_tokens) {
    tokenizeinto(c_str, c_delim, v_tokens);
}

namespace {

// The kernel's isspace: the six ASCII white-space characters and 0xA0.
bool kernelspace(char c) {
    unsigned char uc = static_cast<unsigned char>(c);
    return uc == ' ' || (uc >= '\t' && uc <= '\r') || uc == 0xA0;
}

}  // namespace

// The kernel's next_arg over a NUL-terminated copy, step for step: the quotes it removes are
// overwritten with NUL bytes, so parameter and value end at the first NUL of their range.
void utilities::kernelparams(const std::string& stext,
                             std::vector<std::pair<std::string, std::string>>& lparams) {
    lparams.clear();
    std::vector<char> vbuf(stext.begin(), stext.end());
    vbuf.push_back('\0');
    char* args = vbuf.data();
    while (kernelspace(*args)) ++args;
    while (*args != '\0') {
        size_t i = 0, equals = 0;
        bool bquoted = false, binquote = false;
        if (*args == '"') {
            ++args;
            bquoted = binquote = true;
        }
        for (i = 0; args[i] != '\0'; ++i) {
            if (kernelspace(args[i]) && !binquote) break;
            if (equals == 0 && args[i] == '=') equals = i;
            if (args[i] == '"') binquote = !binquote;
        }
        char* param = args;
        const char* val = "";
        if (equals != 0) {
            args[equals] = '\0';
            val = args + equals + 1;
            // The quotes around a value are not part of it.
            if (*val == '"') {
                ++val;
                if (args[i - 1] == '"') args[i - 1] = '\0';
            }
        }
        if (bquoted && i > 0 && args[i - 1] == '"') args[i - 1] = '\0';
        bool bend = args[i] == '\0';
        args[i] = '\0';
        lparams.emplace_back(param, val);
        args += bend ? i : i + 1;
        while (kernelspace(*args)) ++args;
    }
}

int utilities::millisleep(unsigned long long ui_msec) {
    struct timespec req;
    struct timespec rem;
    req.tv_sec = static_cast<time_t>(ui_msec / 1000);
    req.tv_nsec = static_cast<long>((ui_msec % 1000) * 1000000);
    while (nanosleep(&req, &rem) != 0) {
        if (errno != EINTR) return -1;
        req = rem;
    }
    return 0;
}

std::string utilities::shellquote(const std::string& svalue) {
    static const char* const s_safe =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_@%+=:,./-";
    if (!svalue.empty() && svalue.find_first_not_of(s_safe) == std::string::npos) return svalue;
    std::string squoted("'");
    for (char c : svalue) {
        if (c == '\'')
            squoted += "'\\''";
        else
            squoted.push_back(c);
    }
    squoted.push_back('\'');
    return squoted;
}

bool utilities::isoption(const std::string& svalue) {
    return !svalue.empty() && svalue[0] == '-';
}

bool utilities::quoteoperand(const std::string& svalue, std::string& squoted) {
    if (isoption(svalue)) return false;
    squoted = shellquote(svalue);
    return true;
}

std::string operands::op(const std::string& svalue) {
    std::string squoted;
    if (utilities::quoteoperand(svalue, squoted)) return squoted;
    if (!m_brefused) m_srefused = svalue;
    m_brefused = true;
    return "";
}

// ---- Commands without a shell ----

namespace detail {

namespace {

// Words the shell gives a meaning of its own as a command name: dash's builtins and its
// reserved words. Such a command stays with the shell.
bool shellword(const std::string& sname) {
    static const char* const s_words[] = {
        ".",       ":",        "[",        "alias",  "bg",    "break",   "cd",     "chdir",
        "command", "continue", "echo",     "eval",   "exec",  "exit",    "export", "false",
        "fc",      "fg",       "getopts",  "hash",   "jobs",  "kill",    "local",  "printf",
        "pwd",     "read",     "readonly", "return", "set",   "shift",   "test",   "times",
        "trap",    "true",     "type",     "ulimit", "umask", "unalias", "unset",  "wait",
        "!",       "{",        "}",        "case",   "do",    "done",    "elif",   "else",
        "esac",    "fi",       "for",      "if",     "in",    "then",    "until",  "while"};
    for (const char* s : s_words)
        if (sname == s) return true;
    return false;
}

bool bare(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           strchr("_@%+=:,./-", c) != nullptr;
}

}  // namespace

bool simplecommand(const std::string& scmd,
                   std::vector<std::string>& lwords,
                   std::vector<redirection>& lredirs) {
    lwords.clear();
    lredirs.clear();
    // The shell is given the text up to its first NUL byte only.
    if (scmd.find('\0') != std::string::npos) return false;
    size_t i = 0;
    const size_t n = scmd.size();
    while (i < n) {
        if (scmd[i] == ' ' || scmd[i] == '\t') {
            ++i;
            continue;
        }
        // A redirection is a whole word as it stands; a word that merely begins like one
        // (2>x) is not read here.
        size_t uend = scmd.find_first_of(" \t", i);
        std::string sraw = scmd.substr(i, uend == std::string::npos ? std::string::npos : uend - i);
        static const struct {
            const char* s;
            redirection r;
        } s_redirs[] = {{">/dev/null", {1, -1}},
                        {"1>/dev/null", {1, -1}},
                        {"2>/dev/null", {2, -1}},
                        {"2>&1", {2, 1}},
                        {">&2", {1, 2}}};
        bool bredir = false;
        for (const auto& r : s_redirs)
            if (sraw == r.s) {
                lredirs.push_back(r.r);
                bredir = true;
            }
        if (bredir) {
            i += sraw.size();
            continue;
        }
        std::string sword;
        bool bquoted = false;
        while (i < n && scmd[i] != ' ' && scmd[i] != '\t') {
            char c = scmd[i];
            if (c == '\'') {
                size_t uclose = scmd.find('\'', i + 1);
                if (uclose == std::string::npos) return false;
                sword.append(scmd, i + 1, uclose - i - 1);
                bquoted = true;
                i = uclose + 1;
            } else if (c == '\\') {
                if (i + 1 >= n || scmd[i + 1] == '\n') return false;
                sword.push_back(scmd[i + 1]);
                bquoted = true;
                i += 2;
            } else if (bare(c)) {
                // An unquoted '=' in front of the command name is an assignment.
                if (c == '=' && lwords.empty() && !bquoted) return false;
                sword.push_back(c);
                ++i;
            } else {
                return false;
            }
        }
        lwords.push_back(sword);
    }
    return !lwords.empty() && !lwords[0].empty() && !shellword(lwords[0]);
}

// ---- UTF-8 ----

size_t utf8sequence(const unsigned char* s, size_t n, uint32_t& cp) {
    size_t uilen;
    uint32_t uimin;
    if (s[0] >= 0xc2 && s[0] <= 0xdf) {
        uilen = 2, uimin = 0x80, cp = s[0] & 0x1fu;
    } else if ((s[0] & 0xf0) == 0xe0) {
        uilen = 3, uimin = 0x800, cp = s[0] & 0x0fu;
    } else if (s[0] >= 0xf0 && s[0] <= 0xf4) {
        uilen = 4, uimin = 0x10000, cp = s[0] & 0x07u;
    } else {
        return 0;
    }
    if (n < uilen) return 0;
    for (size_t i = 1; i < uilen; ++i) {
        if ((s[i] & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (s[i] & 0x3fu);
    }
    if (cp < uimin || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return uilen;
}

}  // namespace detail

// ---- Command execution ----

namespace {

// The public system: a failure is recorded as the thread's last failure.
int systemrecorded(const std::string& scmd,
                   const std::vector<std::string>& lextra,
                   const std::string& slocale,
                   std::string& sout,
                   std::string& serr) {
    int istatus = runshell(scmd, lextra, slocale, 0, sout, serr);
    if (istatus == 0) return 0;
    int ierr = errno;
    velka::detail::record("utilities::system",
                          istatus < 0 ? "Command could not be run" : "Command failed", scmd,
                          istatus, istatus < 0 ? ierr : 0, serr);
    return -1;
}

}  // namespace

int utilities::system(std::string scmd, std::string& sout, std::string& serr) {
    return systemrecorded(scmd, std::vector<std::string>(), s_childlocale, sout, serr);
}

int utilities::system(std::string scmd,
                      std::string& sout,
                      std::string& serr,
                      const std::string& slocale) {
    return systemrecorded(scmd, std::vector<std::string>(), slocale, sout, serr);
}

int utilities::system(std::string scmd,
                      const std::vector<std::string>& lextraenv,
                      std::string& sout,
                      std::string& serr) {
    return systemrecorded(scmd, lextraenv, s_childlocale, sout, serr);
}

void utilities::splitlines(const std::string& stext, std::list<std::string>& loutput) {
    splitinto(stext, loutput);
}

int utilities::popen(std::string scmd, std::list<std::string>& loutput, int imsec) {
    return popenlines(scmd, loutput, imsec);
}

int utilities::popen(std::string scmd, std::vector<std::string>& loutput, int imsec) {
    return popenlines(scmd, loutput, imsec);
}

int utilities::popen(std::string scmd,
                     std::vector<std::string>& loutput,
                     int imsec,
                     const std::string& slocale) {
    return popenlines(scmd, loutput, imsec, slocale);
}

int utilities::runcmd(const std::string& scmd, const std::vector<std::string>& arg_vector) {
    // The argument array is built before fork: the child of a threaded process may only
    // call async-signal-safe functions.
    std::vector<std::string> largs;
    largs.reserve(arg_vector.size() + 1);
    largs.push_back(scmd);
    largs.insert(largs.end(), arg_vector.begin(), arg_vector.end());
    std::vector<char*> argv;
    for (auto& s : largs) argv.push_back(&s[0]);
    argv.push_back(nullptr);

    pid_t pid;
    {
        std::lock_guard<std::mutex> guard(s_spawnlock);
        pid = fork();
    }
    if (pid < 0) {
        velka::detail::record("utilities::runcmd", "The child process could not be created", scmd,
                              -1, errno, "");
        return -1;
    }
    if (pid == 0) {
        // Any local user can create a file in /tmp: only a regular file owned by root (not a
        // symbolic link to one, nor a hard link to one: one name only) holds the child.
        struct stat st;
        while (lstat(s_runcmd_hold, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
               st.st_nlink == 1) {
            struct timespec ts = {1, 0};
            nanosleep(&ts, nullptr);
        }
        execv(argv[0], argv.data());
        _exit(1);
    }
    int istatus = 0;
    std::string swhat = scmd;
    for (const auto& sarg : arg_vector) swhat += " " + sarg;
    while (waitpid(pid, &istatus, 0) < 0) {
        if (errno == EINTR) continue;
        velka::detail::record("utilities::runcmd", "Waiting for the program failed", swhat, -1,
                              errno, "");
        return -1;
    }
    if (istatus != 0)
        velka::detail::record("utilities::runcmd", "Program failed", swhat, exitstatus(istatus), 0,
                              "");
    return istatus;
}

// ---- Files and directories ----

std::string utilities::read(std::string sfilepath) {
    cloexecfile::ifile in(sfilepath);
    std::string sline;
    if (!in.good()) return sline;
    std::getline(in, sline);
    return sline;
}

int utilities::write(std::string sfilepath, std::string sentry) {
    cloexecfile::ofile out(sfilepath, false);
    if (!out.good()) return -1;
    out << sentry << '\n';
    out.close();
    return out.fail() ? -1 : 0;
}

int utilities::write(std::ofstream& outpstream, const std::list<std::string>& lentry) {
    return writeeach(outpstream, lentry);
}

int utilities::write(std::string sfilepath, const std::list<std::string>& lentry) {
    return writelines(sfilepath, false, lentry);
}

int utilities::append(std::string sfilepath, const std::list<std::string>& lentry) {
    return writelines(sfilepath, true, lentry);
}

bool utilities::isblkdev(std::string sblkdevpath) {
    struct stat st;
    return ::stat(sblkdevpath.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

bool utilities::isblkdev(const std::string& sblkdevpath, int& maj, int& min) {
    struct stat st;
    if (::stat(sblkdevpath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    maj = static_cast<int>(major(st.st_rdev));
    min = static_cast<int>(minor(st.st_rdev));
    return true;
}

namespace {

// A field of /proc/self/mountinfo or /proc/swaps as the kernel writes it: blank, tab, line
// feed and backslash as \ooo octal escapes.
std::string unoctal(const std::string& sfield) {
    std::string sout;
    for (std::string::size_type i = 0; i < sfield.size(); ++i) {
        bool bescape = sfield[i] == '\\' && i + 3 < sfield.size();
        for (std::string::size_type k = 1; bescape && k <= 3; ++k)
            bescape = sfield[i + k] >= '0' && sfield[i + k] <= '7';
        if (!bescape) {
            sout += sfield[i];
            continue;
        }
        sout += static_cast<char>(((sfield[i + 1] - '0') << 6) | ((sfield[i + 2] - '0') << 3) |
                                  (sfield[i + 3] - '0'));
        i += 3;
    }
    return sout;
}

// "major:minor" as the kernel writes device numbers; false for anything else.
bool devnumber(const std::string& stext, dev_t& dev) {
    unsigned int uimaj = 0, uimin = 0;
    char cend = 0;
    if (sscanf(stext.c_str(), "%u:%u%c", &uimaj, &uimin, &cend) != 2) return false;
    dev = makedev(uimaj, uimin);
    return true;
}

// The block device a path names (following links); false when it names none.
bool blockdevof(const std::string& spath, dev_t& dev) {
    struct stat st;
    if (::stat(spath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    dev = st.st_rdev;
    return true;
}

// One device whose use is looked for: its name for the message, its number, its sysfs
// directory ("" when sysfs does not show it) and a node to probe with O_EXCL ("" for none).
struct useddev {
    std::string sname;
    dev_t dev;
    std::string ssysdir;
    std::string snode;
};

// The device and, when it is a whole disk, each of its partitions (sysfs subdirectories with
// a "partition" attribute), named /dev/{kernel name}.
std::vector<useddev> deviceandpartitions(const std::string& sdevice, dev_t dev) {
    std::vector<useddev> vdevs;
    std::string slink =
        "/sys/dev/block/" + utilities::uitostr(major(dev)) + ":" + utilities::uitostr(minor(dev));
    char sreal[PATH_MAX];
    std::string ssysdir = ::realpath(slink.c_str(), sreal) != nullptr ? sreal : "";
    vdevs.push_back(useddev{sdevice, dev, ssysdir, sdevice});
    if (ssysdir.empty() || utilities::isfile(ssysdir + "/partition")) return vdevs;
    std::list<std::string> lentries;
    utilities::readdir(ssysdir, lentries);
    lentries.sort();
    for (const auto& sentry : lentries) {
        std::string sdir = ssysdir + "/" + sentry;
        dev_t part;
        if (!utilities::isfile(sdir + "/partition") ||
            !devnumber(utilities::trim(utilities::read(sdir + "/dev")), part))
            continue;
        std::string snode = "/dev/" + sentry;
        dev_t node;
        if (!blockdevof(snode, node) || node != part) snode.clear();
        vdevs.push_back(useddev{"/dev/" + sentry, part, sdir, snode});
    }
    return vdevs;
}

}  // namespace

bool utilities::inuse(const std::string& sdevice, std::string& susage) {
    dev_t dev;
    if (!blockdevof(sdevice, dev)) return false;
    std::vector<useddev> vdevs = deviceandpartitions(sdevice, dev);
    auto find = [&vdevs](dev_t d) -> const useddev* {
        for (const auto& u : vdevs)
            if (u.dev == d) return &u;
        return nullptr;
    };
    // 1. Mounted: the mount's device number (field 3), or its source (after " - " and the
    // type) when that is a node of the device (a filesystem such as btrfs reports a number
    // of its own).
    std::list<std::string> llines;
    readlinesinfile("/proc/self/mountinfo", llines);
    for (const auto& sline : llines) {
        std::vector<std::string> vf;
        tokenize(sline.c_str(), " ", vf);
        std::vector<std::string>::size_type isep = 6;
        while (isep < vf.size() && vf[isep] != "-") ++isep;
        if (isep + 2 >= vf.size()) continue;
        dev_t d;
        const useddev* pused = devnumber(vf[2], d) ? find(d) : nullptr;
        std::string ssource = unoctal(vf[isep + 2]);
        if (pused == nullptr && !ssource.empty() && ssource[0] == '/' && blockdevof(ssource, d))
            pused = find(d);
        if (pused != nullptr) {
            susage = pused->sname + " is mounted on " + unoctal(vf[4]);
            return true;
        }
    }
    // 2. An active swap area: the first field of each line after the heading.
    readlinesinfile("/proc/swaps", llines);
    bool bheading = true;
    for (const auto& sline : llines) {
        std::vector<std::string> vf;
        tokenize(sline.c_str(), " \t", vf);
        dev_t d;
        const useddev* pused = nullptr;
        if (!bheading && !vf.empty() && blockdevof(unoctal(vf[0]), d)) pused = find(d);
        bheading = false;
        if (pused != nullptr) {
            susage = pused->sname + " is an active swap area";
            return true;
        }
    }
    // 3. Held by another block device; a device-mapper holder is named with its table name.
    for (const auto& u : vdevs) {
        std::list<std::string> lholders;
        if (u.ssysdir.empty() || readdir(u.ssysdir + "/holders", lholders) != 0 || lholders.empty())
            continue;
        lholders.sort();
        const std::string& sholder = lholders.front();
        std::string sdmname = trim(read("/sys/class/block/" + sholder + "/dm/name"));
        susage = u.sname + " is held by " + sholder;
        if (!sdmname.empty()) susage += " (device-mapper " + sdmname + ")";
        return true;
    }
    // 4. Opened exclusively by another program (a mount in another namespace, a tool at
    // work): the probe is closed at once, so the caller's own tool can open it next. The
    // partitions come first: a claimed partition makes the whole disk busy too, and the
    // message names the partition.
    for (std::vector<useddev>::size_type i = 1; i <= vdevs.size(); ++i) {
        const useddev& u = vdevs[i % vdevs.size()];
        if (u.snode.empty()) continue;
        int ifd = ::open(u.snode.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
        if (ifd >= 0) {
            ::close(ifd);
        } else if (errno == EBUSY) {
            susage = u.sname + " is opened exclusively by another program";
            return true;
        }
    }
    return false;
}

bool utilities::isdir(std::string sblkdevpath) {
    struct stat st;
    return ::stat(sblkdevpath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool utilities::isfile(std::string sfilepath) {
    struct stat st;
    return ::stat(sfilepath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

off_t utilities::filesize(std::string sfilepath) {
    struct stat st;
    if (::stat(sfilepath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

int utilities::readdir(std::string sdir, std::list<std::string>& ldir) {
    ldir.clear();
    DIR* pdir = opendir(sdir.c_str());
    if (pdir == nullptr) return -1;
    // readdir on a stream of this thread's own is thread-safe; readdir_r is deprecated.
    for (struct dirent* pent = ::readdir(pdir); pent != nullptr; pent = ::readdir(pdir)) {
        if (strcmp(pent->d_name, ".") == 0 || strcmp(pent->d_name, "..") == 0) continue;
        ldir.emplace_back(pent->d_name);
    }
    closedir(pdir);
    return 0;
}

unsigned int utilities::numlinesinfile(std::string sfilepath) {
    cloexecfile::ifile in(sfilepath);
    unsigned int uicount = 0;
    std::string sline;
    while (in.good() && std::getline(in, sline)) ++uicount;
    return uicount;
}

unsigned int utilities::readlinesinfile(std::string sfilepath, std::list<std::string>& lines) {
    lines.clear();
    cloexecfile::ifile in(sfilepath);
    std::string sline;
    while (in.good() && std::getline(in, sline)) lines.push_back(sline);
    return static_cast<unsigned int>(lines.size());
}

// The kernel's own rule for partition names: a disk whose name ends in a digit gets a "p"
// before the partition number (nvme0n1p1, mmcblk0p1, loop0p1, md0p1), any other disk none
// (sda1).
std::string utilities::get_partition_name(std::string sdisk, uint32_t part_num) {
    std::string snum = uitostr(part_num);
    if (!sdisk.empty() && isdigit(static_cast<unsigned char>(sdisk.back())))
        return sdisk + "p" + snum;
    return sdisk + snum;
}

}  // namespace utilities

namespace detail {

int system(const std::string& scmd,
           std::string& sout,
           std::string& serr,
           const std::string& slocale,
           const std::vector<std::string>& lextraenv) {
    return utilities::runshell(scmd, lextraenv, slocale, 0, sout, serr) == 0 ? 0 : -1;
}

}  // namespace detail
}  // namespace velka
