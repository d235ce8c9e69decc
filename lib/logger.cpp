// The asynchronous logger: entries and their text line, sources and the LOG entry points,
// the file and console sinks, and the core with its bounded queue, dispatch thread and the
// signal flush. Producers only copy a fixed-size entry (the used part of its text) into the
// queue; formatting and the per-line flush happen on the dispatch thread.
#include <velka/logger>

#include <fcntl.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cassert>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>

#include <velka/exception>
#include <velka/utilities>

namespace velka {
namespace logger {

std::atomic<core*> pcore(nullptr);

namespace {

const char* const s_deadbeef = "DEADBEEF";
const char* const s_hexdigits = "0123456789abcdef";

// The process id, read once and again in the child after each fork: getpid() is a system
// call and every entry carries it.
std::atomic<pid_t> s_pid(0);

void resetpid() {
    s_pid.store(getpid(), std::memory_order_relaxed);
}

pid_t cachedpid() {
    pid_t pid = s_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static int s_iatfork = pthread_atfork(nullptr, nullptr, resetpid);
        (void)s_iatfork;
        pid = getpid();
        s_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

// Appends at most the room left of src to the text buffer at *pioff.
void puttext(char* cbuff, size_t& uioff, const char* src, size_t uilen) {
    size_t uiroom = entry::s_textsize - 1 - uioff;
    if (uilen > uiroom) uilen = uiroom;
    memcpy(cbuff + uioff, src, uilen);
    uioff += uilen;
}

const char* levelname(log_level_t level) {
    switch (level) {
        case lvl_info:
            return "INF";
        case lvl_debug:
            return "DBG";
        case lvl_detail:
            return "DTL";
        default:
            return "ERR";
    }
}

// "%0#<width>x" of v: "0x" and the digits, zero-padded after the prefix to width characters;
// 0 has no prefix and is all zeros.
char* puthex(char* p, unsigned int v, int iwidth) {
    if (v == 0) {
        for (int i = 0; i < iwidth; ++i) *p++ = '0';
        if (iwidth < 1) *p++ = '0';
        return p;
    }
    char cdigits[8];
    int n = 0;
    while (v != 0) {
        cdigits[n++] = s_hexdigits[v & 15];
        v >>= 4;
    }
    *p++ = '0';
    *p++ = 'x';
    for (int i = n + 2; i < iwidth; ++i) *p++ = '0';
    while (n > 0) *p++ = cdigits[--n];
    return p;
}

// The date part of the time text for one second, reused while the second stays the same.
struct timecache {
    long lsec;
    int ilen;
    char ctext[64];
};

// Time text of tv into cbuff (at least 64 bytes): the cached date part, a point and six
// digits of microseconds. Returns its length.
int timetext(const timeval& tv, timecache& tc, char* cbuff) {
    if (tc.ilen < 0 || tc.lsec != static_cast<long>(tv.tv_sec)) {
        struct tm tmlocal;
        time_t tsec = tv.tv_sec;
        localtime_r(&tsec, &tmlocal);
        tc.ilen =
            static_cast<int>(strftime(tc.ctext, sizeof(tc.ctext), "%Y-%m-%d %H:%M:%S", &tmlocal));
        tc.lsec = static_cast<long>(tv.tv_sec);
    }
    memcpy(cbuff, tc.ctext, static_cast<size_t>(tc.ilen));
    int n = tc.ilen;
    long lusec = static_cast<long>(tv.tv_usec);
    if (lusec >= 0 && lusec < 1000000 && n + 7 < 64) {
        cbuff[n] = '.';
        for (int i = 6; i >= 1; --i) {
            cbuff[n + i] = static_cast<char>('0' + lusec % 10);
            lusec /= 10;
        }
        n += 7;
    } else {
        n += snprintf(cbuff + n, static_cast<size_t>(64 - n), ".%06ld", lusec);
        if (n > 63) n = 63;
    }
    return n;
}

// The log line of ent into cline of uisize bytes, exactly as
// snprintf("%0#6x %0#8x %28s %4s %s") would write it; returns its length.
int formatline(const entry& ent, timecache& tc, char* cline, size_t uisize) {
    // Everything before the text fits in 128 characters.
    char chead[128];
    char* p = chead;
    p = puthex(p, static_cast<unsigned int>(ent.get_pid()), 6);
    *p++ = ' ';
    p = puthex(p, static_cast<unsigned int>(ent.get_tid()), 8);
    *p++ = ' ';
    char ctime[64];
    int itime = timetext(ent.get_time(), tc, ctime);
    for (int i = itime; i < 28; ++i) *p++ = ' ';
    memcpy(p, ctime, static_cast<size_t>(itime));
    p += itime;
    *p++ = ' ';
    *p++ = ' ';
    const char* slevel = levelname(ent.get_loglevel());
    memcpy(p, slevel, 3);
    p += 3;
    *p++ = ' ';
    size_t uihead = static_cast<size_t>(p - chead);
    size_t uitext = strnlen(ent.get_str(), entry::s_textsize - 1);
    if (uisize == 0) return 0;
    size_t uimax = uisize - 1;
    if (uihead > uimax) uihead = uimax;
    memcpy(cline, chead, uihead);
    if (uitext > uimax - uihead) uitext = uimax - uihead;
    memcpy(cline + uihead, ent.get_str(), uitext);
    cline[uihead + uitext] = '\0';
    return static_cast<int>(uihead + uitext);
}

}  // namespace

// ---- entry

entry::entry() : m_pid(0), m_tid(0), m_time{0, 0}, m_log_level(lvl_err) {
    memcpy(m_cbuff, s_deadbeef, strlen(s_deadbeef) + 1);
}

entry::entry(process_id_t pid, thread_id_t tid, timevalue_t tv, log_level_t lglvl, const char* cstr)
    : m_pid(pid), m_tid(tid), m_time(tv), m_log_level(lglvl) {
    size_t uilen = strnlen(cstr, s_textsize - 1);
    memcpy(m_cbuff, cstr, uilen);
    m_cbuff[uilen] = '\0';
}

entry::entry(const entry& other)
    : m_pid(other.m_pid), m_tid(other.m_tid), m_time(other.m_time), m_log_level(other.m_log_level) {
    size_t uilen = strnlen(other.m_cbuff, s_textsize - 1);
    memcpy(m_cbuff, other.m_cbuff, uilen);
    m_cbuff[uilen] = '\0';
}

entry& entry::operator=(const entry& other) {
    if (this == &other) return *this;
    m_pid = other.m_pid;
    m_tid = other.m_tid;
    m_time = other.m_time;
    m_log_level = other.m_log_level;
    size_t uilen = strnlen(other.m_cbuff, s_textsize - 1);
    memcpy(m_cbuff, other.m_cbuff, uilen);
    m_cbuff[uilen] = '\0';
    return *this;
}

process_id_t entry::get_process_id() {
    return cachedpid();
}

thread_id_t entry::get_thread_id() {
    return pthread_self();
}

timevalue_t entry::get_current_time() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return tv;
}

int entry::timevaltostr(const timeval& tm, char* s_ptr, int i_size) {
    struct tm tmlocal;
    time_t tsec = tm.tv_sec;
    localtime_r(&tsec, &tmlocal);
    int n = static_cast<int>(
        strftime(s_ptr, static_cast<size_t>(i_size), "%Y-%m-%d %H:%M:%S", &tmlocal));
    if (n >= i_size) return n;
    int m = snprintf(s_ptr + n, static_cast<size_t>(i_size - n), ".%06ld",
                     static_cast<long>(tm.tv_usec));
    return n + m;
}

std::string entry::tostr(log_level_t level) {
    return levelname(level);
}

std::string entry::tostr() {
    static velka::scoped_array::scoped_array<char> s_line(s_linesize);
    static timecache s_tc{0, -1, {0}};
    int n = formatline(*this, s_tc, s_line.get(), s_linesize);
    return std::string(s_line.get(), static_cast<size_t>(n));
}

std::string entry::tostr_r() {
    velka::scoped_array::scoped_array<char> line(s_linesize);
    char ctime[64];
    timeval tv = m_time;
    timevaltostr(tv, ctime, sizeof(ctime));
    int n = snprintf(line.get(), s_linesize, "%0#6x %0#8x %28s %4s %s",
                     static_cast<unsigned int>(m_pid), static_cast<unsigned int>(m_tid), ctime,
                     levelname(m_log_level), m_cbuff);
    if (n < 0) n = 0;
    if (n > s_linesize - 1) n = s_linesize - 1;
    return std::string(line.get(), static_cast<size_t>(n));
}

// ---- source

bool everylevel(log_level) {
    return true;
}

source::source(core* pcore, filter pfhndlr) : m_pcref(pcore), m_pfhndlr(pfhndlr) {}

void source::log(std::string str) {
    enqueue(lvl_err, nullptr, nullptr, str);
}

void source::log(log_level lvl, std::string str) {
    // clang-format off
    assert(m_pfhndlr!=__null);
    // clang-format on
    if (m_pfhndlr(lvl)) enqueue(lvl, nullptr, nullptr, str);
}

void source::log(const char* file, const char* func, std::string str) {
    enqueue(lvl_err, file, func, str);
}

void source::log(log_level lvl, const char* file, const char* func, std::string str) {
    // clang-format off
    assert(m_pfhndlr!=__null);
    // clang-format on
    if (m_pfhndlr(lvl)) enqueue(lvl, file, func, str);
}

// Builds the entry on the stack, the tagged text (file "::" func "( )" two blanks str)
// written straight into it, and hands it to the core.
void source::enqueue(log_level_t lvl, const char* file, const char* func, const std::string& str) {
    entry ent;
    ent.m_pid = entry::get_process_id();
    ent.m_tid = entry::get_thread_id();
    ent.m_time = entry::get_current_time();
    ent.m_log_level = lvl;
    size_t uioff = 0;
    if (file != nullptr || func != nullptr) {
        if (file != nullptr) puttext(ent.m_cbuff, uioff, file, strlen(file));
        puttext(ent.m_cbuff, uioff, "::", 2);
        if (func != nullptr) puttext(ent.m_cbuff, uioff, func, strlen(func));
        puttext(ent.m_cbuff, uioff, "( )  ", 5);
    }
    puttext(ent.m_cbuff, uioff, str.c_str(), strnlen(str.c_str(), str.size()));
    ent.m_cbuff[uioff] = '\0';
    m_pcref->queue_entry(ent);
}

void LOG(source* ptr, std::string str) {
    if (ptr != nullptr) ptr->log(std::move(str));
}

void LOG(source* ptr, log_level lvl, std::string str) {
    if (ptr != nullptr) ptr->log(lvl, std::move(str));
}

void LOG(source* ptr, const char* file, const char* func, std::string str) {
    if (ptr != nullptr) ptr->log(file, func, std::move(str));
}

void LOG(source* ptr, log_level lvl, const char* file, const char* func, std::string str) {
    if (ptr != nullptr) ptr->log(lvl, file, func, std::move(str));
}

// ---- sinks

file_sink::file_sink() : b_valid(false), m_ierrno(0), m_ifd(-1) {}

file_sink::~file_sink() {
    close();
}

// Appends to the file, which is created (mode 0644 before the umask) when missing.
void file_sink::open(const std::string& s_file) {
    close();
    m_s_file = s_file;
    m_ifd = ::open(s_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    b_valid = m_ifd >= 0;
    m_ierrno.store(b_valid ? 0 : errno);
}

void file_sink::close() {
    if (!b_valid) return;
    ::close(m_ifd);
    m_ifd = -1;
    b_valid = false;
}

// One line and its newline reach the file in one write (continued only if the file takes
// part of it, as a pipe may). A write error loses the line and is kept for error(): logging
// never fails its caller.
void file_sink::write(const std::string& s_str) {
    if (!b_valid) return;
    struct iovec iov[2];
    iov[0].iov_base = const_cast<char*>(s_str.data());
    iov[0].iov_len = s_str.size();
    iov[1].iov_base = const_cast<char*>("\n");
    iov[1].iov_len = 1;
    int iovcnt = 2;
    struct iovec* piov = iov;
    while (iovcnt > 0) {
        ssize_t n = ::writev(m_ifd, piov, iovcnt);
        if (n < 0) {
            if (errno == EINTR) continue;
            m_ierrno.store(errno);
            return;
        }
        size_t udone = static_cast<size_t>(n);
        while (iovcnt > 0 && udone >= piov->iov_len) {
            udone -= piov->iov_len;
            ++piov;
            --iovcnt;
        }
        if (iovcnt > 0) {
            piov->iov_base = static_cast<char*>(piov->iov_base) + udone;
            piov->iov_len -= udone;
        }
    }
    if (m_ierrno.load(std::memory_order_relaxed) != 0) m_ierrno.store(0);
}

// Every line is in the file once write() returns: nothing is held back here.
void file_sink::flush() {}

int file_sink::error() const {
    return m_ierrno.load();
}

void console_sink::open(const std::string&) {}

void console_sink::close() {}

void console_sink::write(const std::string& s_str) {
    fwrite(s_str.data(), 1, s_str.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

void console_sink::flush() {}

// ---- core

core::core(unsigned int ui_entries)
    : m_fsink_valid(false),
      m_csink_valid(false),
      m_pline(entry::s_linesize),
      m_ltimesec(0),
      m_itimelen(-1),
      m_pbatch(s_batchsize),
      m_ibatchlen(0),
      m_ibatchnext(0),
      m_dispatchtid(0),
      m_bdispatchtid(false),
      m_bsync(false),
      m_bstopped(false),
      m_bfailed(false),
      m_bflushing(false),
      m_bstopreq(false),
      m_exitsem(0) {
    m_sline.reserve(entry::s_linesize);
    std::set<int> sigs{SIGUSR1, SIGUSR2, SIGSEGV};
    m_sigset.sethandler(sigs, sig_handler);
    m_cbmgr = new velka::circular_buffer::circular_buffer_mgr<entry>(ui_entries);
    m_pthrd = new velka::thread::thread();
    m_tld.m_pcore = this;
    m_tld.log_entries.store(true);
    m_tld.hndlr_exited.store(false);
    // A signal for the new thread waits until it knows it is the dispatch thread.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &block, &m_origmask);
    int iret = m_pthrd->create_joinable_thread(log_handler, &m_tld);
    pthread_sigmask(SIG_SETMASK, &m_origmask, nullptr);
    if (iret != 0) {
        // No dispatch thread: producers write their entries themselves.
        setfailed("The dispatch thread could not be started: " + std::string(strerror(iret)));
        m_tld.hndlr_exited.store(true);
    }
    pcore.store(this);
}

core::~core() {
    if (!m_tld.hndlr_exited.load() || m_bsync.load()) cancelthread();
    core* pself = this;
    pcore.compare_exchange_strong(pself, nullptr);
    m_csink.reset(nullptr);
    m_csink_valid = false;
    m_fsink.reset(nullptr);
    m_fsink_valid = false;
}

void core::add_sink(sink_type_t sink_type, std::string s_path) {
    velka::mutex::mutex_mgr guard(&m_list_lock);
    if (sink_type == FILE_SINK) {
        m_fsink.reset(new file_sink());
        m_fsink->open(s_path);
        m_fsink_valid = true;
    } else if (sink_type == CONSOLE_SINK) {
        m_csink.reset(new console_sink());
        m_csink_valid = true;
    }
}

void core::del_sink(sink_type_t sink_type) {
    cancelthread();
    velka::mutex::mutex_mgr guard(&m_list_lock);
    if (sink_type == FILE_SINK) {
        if (m_fsink.get() != nullptr) m_fsink->close();
        m_fsink.reset(nullptr);
        m_fsink_valid = false;
    } else if (sink_type == CONSOLE_SINK) {
        m_csink.reset(nullptr);
        m_csink_valid = false;
    }
}

void core::queue_entry(const entry& ent) {
    if (m_bflushing.load(std::memory_order_relaxed)) {
        // The log is being flushed for a signal and ends with it: nothing more is written.
        // The producer waits, as it would on the full queue of a stopped dispatch thread.
        for (;;) pause();
    }
    if (m_bsync.load(std::memory_order_relaxed)) {
        velka::mutex::mutex_mgr guard(&m_synclock);
        if (!m_bstopped.load()) {
            drainhere();
            log_entry(ent);
            return;
        }
    }
    m_cbmgr->queue(ent);
}

entry core::dequeue_entry() {
    return m_cbmgr->dequeue();
}

int core::timeddequeue_entry(int seconds, entry& ent) {
    return m_cbmgr->timeddequeue(seconds, ent);
}

void core::log_entry(const entry& ent) {
    writeentry(ent, -1);
}

void core::writeentry(const entry& ent, int inext) {
    timecache tc{m_ltimesec, m_itimelen, {0}};
    if (m_itimelen >= 0) memcpy(tc.ctext, m_ctime, static_cast<size_t>(m_itimelen));
    int n = formatline(ent, tc, m_pline.get(), entry::s_linesize);
    if (tc.lsec != m_ltimesec || tc.ilen != m_itimelen) {
        m_ltimesec = tc.lsec;
        m_itimelen = tc.ilen;
        memcpy(m_ctime, tc.ctext, static_cast<size_t>(tc.ilen));
    }
    m_sline.assign(m_pline.get(), static_cast<size_t>(n));
    if (m_csink_valid) m_csink->write(m_sline);
    // From here on the line is the file sink's: a flush from this thread need not write it.
    if (inext >= 0) m_ibatchnext.store(inext);
    if (m_fsink_valid) m_fsink->write(m_sline);
}

// Takes every entry queued (up to a batch) at once: one wake-up of the producers waiting on
// a full queue per batch, not one per entry. Each line is still written and flushed on its
// own. The batch counters are for a signal flush on this thread; they are reset length first,
// so that it never sees an old batch as pending.
void core::log() {
    m_ibatchlen.store(0);
    m_ibatchnext.store(0);
    int n = m_cbmgr->timeddequeueall(1, m_pbatch.get(), s_batchsize, &m_ibatchlen);
    for (int i = 0; i < n; ++i) writeentry(m_pbatch[i], i + 1);
}

void core::flush() {
    if (m_fsink_valid) m_fsink->flush();
}

void core::close() {
    if (m_fsink_valid) m_fsink->close();
}

void core::nop() {
    volatile uint16_t uicount = 0;
    while (uicount < 10000) uicount = static_cast<uint16_t>(uicount + 1);
}

// Signal context. Waits until the dispatch thread has written what is queued and stopped,
// then flushes the file. On the dispatch thread itself, and when producers write for a
// dispatch thread that is not there, the remaining entries are written right here.
void core::flush_entries() {
    m_bflushing.store(true);
    bool bself = m_bdispatchtid.load() && pthread_equal(m_dispatchtid.load(), pthread_self());
    if (bself) {
        m_tld.log_entries.store(false);
        // What this thread took and had not yet handed to the file sink, then straight from
        // the ring: an entry this thread was taking when the signal came is still there, and
        // one a producer had not counted yet is found too.
        int ilen = m_ibatchlen.load();
        for (int i = m_ibatchnext.load(); i < ilen; ++i) log_entry(m_pbatch[i]);
        entry ent;
        while (m_cbmgr->drainone(ent) == 0) log_entry(ent);
    } else if (m_bsync.load()) {
        bool bheld = m_synclock.ownedbycaller();
        if (!bheld) m_synclock.lock();
        drainhere();
        if (!bheld) m_synclock.unlock();
    } else {
        // The dispatch thread finishes the line it is writing and stops; what is left in the
        // ring is written here. It must not wait for the queue's lock meanwhile: this thread
        // may hold it, interrupted in the middle of queueing an entry, and such an entry may
        // be in the ring before it was counted, so the dispatch thread would never take it.
        m_cbmgr->allowunlockedtakes();
        m_tld.log_entries.store(false);
        m_cbmgr->wake();
        while (!m_tld.hndlr_exited.load()) nop();
        entry ent;
        while (m_cbmgr->drainone(ent) == 0) log_entry(ent);
    }
    // Flushed but not closed: closing releases memory, which a signal handler must not do.
    // Nothing writes to the file any more, and the system closes it with the process.
    flush();
}

bool core::dispatchfailed() {
    return m_bfailed.load();
}

std::string core::dispatcherror() {
    velka::mutex::mutex_mgr guard(&m_errlock);
    return m_serror;
}

bool core::filesinkfailed() {
    return fsinkerror() != 0;
}

int core::filesinkerrno() {
    return fsinkerror();
}

// The core makes every file sink it holds itself, so the sink is a file_sink.
int core::fsinkerror() {
    velka::mutex::mutex_mgr guard(&m_list_lock);
    if (!m_fsink_valid || m_fsink.get() == nullptr) return 0;
    return static_cast<file_sink*>(m_fsink.get())->error();
}

// Drains the queue and stops the dispatch thread; producers writing for a missing dispatch
// thread stop writing too. The dispatch thread stops by itself once it finds the queue empty;
// the wake ends a wait for entries at once, so stopping takes no longer than writing what is
// queued.
void core::cancelthread() {
    {
        velka::mutex::mutex_mgr guard(&m_synclock);
        m_bstopped.store(true);
    }
    if (m_tld.hndlr_exited.load()) return;
    m_bstopreq.store(true);
    m_cbmgr->wake();
    // The dispatch thread posts once as it ends; the count is given back for whoever stops
    // it next.
    m_exitsem.wait();
    m_exitsem.signal();
}

void core::setfailed(const std::string& serr) {
    {
        velka::mutex::mutex_mgr guard(&m_errlock);
        m_serror = serr;
    }
    m_bfailed.store(true);
    m_bsync.store(true);
}

// Writes every queued entry on the calling thread (m_synclock held, or signal context).
void core::drainhere() {
    entry ent;
    while (m_cbmgr->trydequeue(ent) == 0) log_entry(ent);
}

void* log_handler(void* p_data) {
    tld* ptld = static_cast<tld*>(p_data);
    core* pc = ptld->m_pcore;
    pc->m_dispatchtid.store(pthread_self());
    pc->m_bdispatchtid.store(true);
    pthread_sigmask(SIG_SETMASK, &pc->m_origmask, nullptr);
    std::string serr;
    bool bfailed = false;
    try {
        while (ptld->log_entries.load(std::memory_order_relaxed)) {
            pc->log();
            if (pc->m_bstopreq.load(std::memory_order_relaxed) && pc->m_cbmgr->empty())
                ptld->log_entries.store(false);
        }
    } catch (velka::exception::exception& e) {
        serr = e();
        bfailed = true;
    }
    pc->flush();
    // From here producers write their own entries.
    if (bfailed) pc->setfailed("The dispatch loop ended: " + serr);
    // Posted before the flag: once the flag is seen, the core may be destroyed.
    pc->m_exitsem.signal();
    ptld->hndlr_exited.store(true);
    return nullptr;
}

void sig_handler(int sig) {
    (void)sig;
    core* pc = pcore.load();
    if (pc != nullptr) pc->flush_entries();
}

}  // namespace logger
}  // namespace velka
