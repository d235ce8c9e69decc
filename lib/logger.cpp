// The asynchronous logger: entries and their text line, sources and the LOG entry points,
// the file and console sinks, and the core with its bounded queue, dispatch thread and the
// signal flush. Producers only read a cheap clock (the time-stamp counter, or the monotonic
// clock) and copy their texts once, straight into a queue slot; the wall-clock time, the
// formatting and the writes happen on the dispatch thread.
#include <velka/logger>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cassert>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>

#include <velka/exception>
#include <velka/utilities>

#include "internal/utilities.h"

namespace velka {
namespace logger {

static_assert(alignof(entry) == 64, "an entry starts a cache line of its queue slot");
static_assert(sizeof(entry) == 1088, "the fields of an entry keep their places");

// The live core, for the signal flush.
std::atomic<core*> pcore(nullptr);

// The dispatch thread's routine; its argument is the core's tld.
void* log_handler(void* p_data);
// The flush handler the core registers for its signals.
void sig_handler(int sig);
// Run when a flushed signal returned to the program.
void sig_resume(int sig);

namespace {

// What this thread is building in a queue, for a signal flush on it. Not initial-exec: the
// library may be loaded with dlopen, where the static TLS block may have no room left.
thread_local velka::circular_buffer::building t_building = {nullptr, 0};

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

// The first and the last sizeof(W) bytes of n (sizeof(W) <= n <= 2 * sizeof(W)), which
// together cover all n.
template <typename W>
inline void copyends(char* dst, const char* src, size_t n) {
    W whead, wtail;
    memcpy(&whead, src, sizeof(W));
    memcpy(&wtail, src + n - sizeof(W), sizeof(W));
    memcpy(dst, &whead, sizeof(W));
    memcpy(dst + n - sizeof(W), &wtail, sizeof(W));
}

struct bytes16 {
    char c[16];
};

// Copies n bytes without a call for the short texts of a logging call (a file name, a
// function tag, most messages): two overlapping moves of 4, 8 or 16 bytes cover up to 32
// bytes; longer texts go to memcpy. Reads and writes nothing outside the n bytes.
inline void copyshort(char* dst, const char* src, size_t n) {
    if (n > 32)
        memcpy(dst, src, n);
    else if (n >= 16)
        copyends<bytes16>(dst, src, n);
    else if (n >= 8)
        copyends<uint64_t>(dst, src, n);
    else if (n >= 4)
        copyends<uint32_t>(dst, src, n);
    else
        for (size_t i = 0; i < n; ++i) dst[i] = src[i];
}

// Appends at most the room left of src to the text buffer at *pioff.
void puttext(char* cbuff, size_t& uioff, const char* src, size_t uilen) {
    size_t uiroom = entry::s_textsize - 1 - uioff;
    if (uilen > uiroom) uilen = uiroom;
    copyshort(cbuff + uioff, src, uilen);
    uioff += uilen;
}

// The tag an entry's text starts with when the call gives a file or a function,
// file "::" func "( )  "; returns its length.
size_t puttag(char* cbuff, const char* file, size_t uifile, const char* func, size_t uifunc) {
    size_t uioff = 0;
    if (file != nullptr || func != nullptr) {
        if (file != nullptr) puttext(cbuff, uioff, file, uifile);
        puttext(cbuff, uioff, "::", 2);
        if (func != nullptr) puttext(cbuff, uioff, func, uifunc);
        puttext(cbuff, uioff, "( )  ", 5);
    }
    return uioff;
}

// CLOCK_REALTIME minus CLOCK_MONOTONIC in nanoseconds: the two clocks advance together (both
// follow the system's frequency corrections), and the difference only moves when the system
// clock is set. The dispatch thread measures it again for each batch it takes.
std::atomic<long long> s_lloffset(0);
std::atomic<bool> s_boffset(false);

long long nanoseconds(const timespec& ts) {
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Reads the monotonic clock between two readings of the system clock, which must be close
// together (no preemption in between); the offset taken at their middle is adopted when it
// differs from the last one by more than the error of a reading, so the time stamps of one
// producer keep their order unless the system clock itself is set back.
void refreshoffset() {
    for (int i = 0; i < 3; ++i) {
        timespec tr1, tm, tr2;
        clock_gettime(CLOCK_REALTIME, &tr1);
        clock_gettime(CLOCK_MONOTONIC, &tm);
        clock_gettime(CLOCK_REALTIME, &tr2);
        long long llr1 = nanoseconds(tr1);
        long long llr2 = nanoseconds(tr2);
        if (llr2 - llr1 > 2000 || llr2 < llr1) continue;
        long long lloff = llr1 + (llr2 - llr1) / 2 - nanoseconds(tm);
        long long llold = s_lloffset.load(std::memory_order_relaxed);
        long long lldiff = lloff > llold ? lloff - llold : llold - lloff;
        if (!s_boffset.load(std::memory_order_relaxed) || lldiff > 2000) {
            s_lloffset.store(lloff, std::memory_order_relaxed);
            s_boffset.store(true, std::memory_order_relaxed);
        }
        return;
    }
}

// The clock of the time stamps. Where the kernel keeps its time with the processor's
// time-stamp counter (clocksource "tsc": the kernel found the counter invariant and the same
// on every processor), a logging call only reads the counter (RDTSC, about 10 ns, with no wait
// for earlier instructions) and the dispatch thread turns the count into the monotonic clock's
// time. Elsewhere (another clocksource, as in some virtual machines, or no /sys to tell), a
// call reads CLOCK_MONOTONIC, which through the vDSO also reads the counter but waits for
// every earlier instruction to finish first: in a logging call that wait, for the stores of
// the previous entry, cost about 40 ns. Chosen once per process, by the first core.
enum stampclock : int { stamp_unchosen = 0, stamp_counter = 1, stamp_monotonic = 2 };
std::atomic<int> s_stampclock(stamp_unchosen);
// An entry whose m_time holds a count of the counter has this in the microseconds.
const suseconds_t s_countmark = static_cast<suseconds_t>(LONG_MIN);
// The counter and the monotonic clock read together when the counter was chosen: every count
// in an entry is later than this.
unsigned long long s_ullcount0 = 0;
long long s_llmono0 = 0;

inline unsigned long long readcounter() {
#if defined(__x86_64__)
    return __builtin_ia32_rdtsc();
#else
    return 0;
#endif
}

// The counter and the monotonic clock at the same instant: the clock read between two
// readings of the counter, the closest of a few tries, taken at their middle.
void readpair(unsigned long long& ullcount, long long& llmono) {
    unsigned long long ullbest = ~0ULL;
    for (int i = 0; i < 8; ++i) {
        timespec ts;
        unsigned long long ull1 = readcounter();
        clock_gettime(CLOCK_MONOTONIC, &ts);
        unsigned long long ull2 = readcounter();
        if (ull2 < ull1 || ull2 - ull1 >= ullbest) continue;
        ullbest = ull2 - ull1;
        ullcount = ull1 + (ull2 - ull1) / 2;
        llmono = nanoseconds(ts);
        if (ullbest < 1000) return;
    }
    if (ullbest == ~0ULL) {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        ullcount = readcounter();
        llmono = nanoseconds(ts);
    }
}

void choosestampclock() {
    static velka::mutex::mutex s_lock;
    velka::mutex::mutex_mgr guard(&s_lock);
    if (s_stampclock.load() != stamp_unchosen) return;
    int iclock = stamp_monotonic;
#if defined(__x86_64__)
    int ifd = open("/sys/devices/system/clocksource/clocksource0/current_clocksource",
                   O_RDONLY | O_CLOEXEC);
    if (ifd >= 0) {
        char cbuf[16] = {0};
        ssize_t n = read(ifd, cbuf, sizeof(cbuf) - 1);
        ::close(ifd);
        if (n == 4 && memcmp(cbuf, "tsc\n", 4) == 0) iclock = stamp_counter;
    }
#endif
    if (iclock == stamp_counter) readpair(s_ullcount0, s_llmono0);
    s_stampclock.store(iclock);
}

// Turning counts into monotonic time, on the thread that formats lines: a piecewise linear
// function through readings of both clocks. Each thread keeps the last two readings; an
// entry counted after the last one brings a new reading (the old last becomes the first), so
// an entry is placed on the line between two readings that enclose it, accurate to the
// error of a reading whatever the frequency corrections of NTP did earlier. An entry counted
// before the first reading (it waited in the queue past several batches) is placed on the
// same line extended back with the rate measured since the counter was chosen. The function
// is continuous and rising, and a producer's entries reach a thread in the order of their
// counts, so a producer's times never go back.
struct countline {
    bool bset;
    unsigned long long ullfirst, ulllast;
    long long llfirst, lllast;
};
thread_local countline t_countline = {false, 0, 0, 0, 0};

// The time of ullcount on the line through (ulla, lla) and (ullb, llb), ulla < ullb, counted
// from the second point.
long long online(unsigned long long ulla,
                 long long lla,
                 unsigned long long ullb,
                 long long llb,
                 unsigned long long ullcount) {
    double drate = static_cast<double>(llb - lla) / static_cast<double>(ullb - ulla);
    if (ullcount >= ullb)
        return llb + static_cast<long long>(static_cast<double>(ullcount - ullb) * drate);
    return llb - static_cast<long long>(static_cast<double>(ullb - ullcount) * drate);
}

long long monofromcount(unsigned long long ullcount) {
    countline& cl = t_countline;
    if (!cl.bset || ullcount > cl.ulllast) {
        unsigned long long ull;
        long long ll;
        readpair(ull, ll);
        if (!cl.bset) {
            cl.ulllast = s_ullcount0;
            cl.lllast = s_llmono0;
        }
        if (ull > cl.ulllast && ll > cl.lllast) {
            cl.ullfirst = cl.ulllast;
            cl.llfirst = cl.lllast;
            cl.ulllast = ull;
            cl.lllast = ll;
            cl.bset = true;
        } else if (!cl.bset) {
            return s_llmono0;
        }
    }
    if (ullcount >= cl.ulllast)
        return online(s_ullcount0, s_llmono0, cl.ulllast, cl.lllast, ullcount);
    if (ullcount >= cl.ullfirst)
        return online(cl.ullfirst, cl.llfirst, cl.ulllast, cl.lllast, ullcount);
    if (ullcount <= s_ullcount0 || cl.ullfirst == s_ullcount0) return s_llmono0;
    return online(s_ullcount0, s_llmono0, cl.ullfirst, cl.llfirst, ullcount);
}

// The wall-clock time of a monotonic time stamp.
timeval walltime(long long llmono) {
    if (!s_boffset.load(std::memory_order_relaxed)) refreshoffset();
    long long llns = llmono + s_lloffset.load(std::memory_order_relaxed);
    timeval tv;
    tv.tv_sec = static_cast<time_t>(llns / 1000000000LL);
    tv.tv_usec = static_cast<suseconds_t>((llns % 1000000000LL) / 1000);
    return tv;
}

// Code points that a terminal or a viewer acts on instead of showing: the C1 controls (U+0085
// ends a line, U+009B starts a control sequence), the line and paragraph separators, and the
// bidirectional overrides and isolates, which reorder the text that follows.
bool actingcodepoint(uint32_t cp) {
    return (cp >= 0x80 && cp <= 0x9f) || cp == 0x2028 || cp == 0x2029 ||
           (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
}

// Copies the text into p as one harmless line: a trailing newline dropped, control
// characters as \n, \r, \t or \xNN, bytes that are not UTF-8 as \xNN, acting code points as
// \uNNNN; the rest (printable ASCII, other UTF-8) as it is. Returns the end. p has room for
// 4 characters per text byte.
char* puttextvisible(char* p, const char* s, size_t n) {
    if (n > 0 && s[n - 1] == '\n') --n;
    const unsigned char* u = reinterpret_cast<const unsigned char*>(s);
    size_t i = 0;
    while (i < n) {
        size_t j = i;
        while (j < n && u[j] >= 0x20 && u[j] < 0x7f) ++j;
        memcpy(p, s + i, j - i);
        p += j - i;
        if (j == n) break;
        unsigned char c = u[j];
        i = j + 1;
        if (c >= 0x80) {
            uint32_t cp = 0;
            size_t uilen = velka::utilities::detail::utf8sequence(u + j, n - j, cp);
            if (uilen > 0 && !actingcodepoint(cp)) {
                memcpy(p, s + j, uilen);
                p += uilen;
                i = j + uilen;
                continue;
            }
            if (uilen > 0) {
                *p++ = '\\';
                *p++ = 'u';
                for (int ishift = 12; ishift >= 0; ishift -= 4)
                    *p++ = s_hexdigits[(cp >> ishift) & 15];
                i = j + uilen;
                continue;
            }
        }
        *p++ = '\\';
        if (c == '\n') {
            *p++ = 'n';
        } else if (c == '\r') {
            *p++ = 'r';
        } else if (c == '\t') {
            *p++ = 't';
        } else {
            *p++ = 'x';
            *p++ = s_hexdigits[c >> 4];
            *p++ = s_hexdigits[c & 15];
        }
    }
    return p;
}

// Writes the pieces to fd, going on where a write stopped short; ierrno gets the error of a
// write that failed, 0 once everything went through. A single piece (a batch of lines) takes
// the plain write().
void writeall(int fd, struct iovec* piov, int iovcnt, std::atomic<int>& ierrno) {
    while (iovcnt > 0) {
        ssize_t n =
            iovcnt == 1 ? ::write(fd, piov->iov_base, piov->iov_len) : ::writev(fd, piov, iovcnt);
        if (n < 0) {
            if (errno == EINTR) continue;
            ierrno.store(errno);
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
    if (ierrno.load(std::memory_order_relaxed) != 0) ierrno.store(0);
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
// A signal flush sets bsignal: the date is then made by arithmetic, with the offset from UTC
// that localtime_r gave last (no time zone files, no locks), and the counts of the counter
// are placed on the line through its first reading and (ullcount, llmono), read when the
// flush began.
struct timecache {
    long lsec;
    int ilen;
    char ctext[64];
    bool bsignal;
    unsigned long long ullcount;
    long long llmono;
};

// The offset of local time from UTC in seconds, as localtime_r gave it last.
std::atomic<long> s_lgmtoff(0);

// "YYYY-mm-dd HH:MM:SS" of tsec seconds since the epoch, local time by lgmtoff, into p;
// returns its length (days to the civil date as in the proleptic Gregorian calendar).
int civiltext(long long tsec, long lgmtoff, char* p) {
    long long llt = tsec + lgmtoff;
    long long lldays = llt >= 0 ? llt / 86400 : (llt - 86399) / 86400;
    long long llsecs = llt - lldays * 86400;
    long long z = lldays + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long long d = doy - (153 * mp + 2) / 5 + 1;
    long long m = mp < 10 ? mp + 3 : mp - 9;
    long long y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    if (y < 0 || y > 9999) y = 0;
    long long v[6] = {y, m, d, llsecs / 3600, llsecs / 60 % 60, llsecs % 60};
    char* q = p;
    for (int i = 0; i < 6; ++i) {
        int idigits = i == 0 ? 4 : 2;
        for (int k = idigits - 1; k >= 0; --k) {
            q[k] = static_cast<char>('0' + v[i] % 10);
            v[i] /= 10;
        }
        q += idigits;
        if (i < 5) *q++ = i < 2 ? '-' : (i == 2 ? ' ' : ':');
    }
    return static_cast<int>(q - p);
}

// Time text of tv into cbuff (at least 64 bytes): the cached date part, a point and six
// digits of microseconds. Returns its length.
int timetext(const timeval& tv, timecache& tc, char* cbuff) {
    if (tc.ilen < 0 || tc.lsec != static_cast<long>(tv.tv_sec)) {
        if (tc.bsignal) {
            tc.ilen = civiltext(tv.tv_sec, s_lgmtoff.load(std::memory_order_relaxed), tc.ctext);
        } else {
            struct tm tmlocal;
            time_t tsec = tv.tv_sec;
            localtime_r(&tsec, &tmlocal);
            s_lgmtoff.store(tmlocal.tm_gmtoff, std::memory_order_relaxed);
            tc.ilen = static_cast<int>(
                strftime(tc.ctext, sizeof(tc.ctext), "%Y-%m-%d %H:%M:%S", &tmlocal));
        }
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
    } else if (!tc.bsignal) {
        n += snprintf(cbuff + n, static_cast<size_t>(64 - n), ".%06ld", lusec);
        if (n > 63) n = 63;
    }
    return n;
}

// The wall-clock time of an entry's stamp; in a signal flush without the formatting thread's
// readings (they are thread-local and take the clock's readings as they go).
timeval entrytime(const entry& ent, const timecache& tc) {
    timeval tv = ent.get_stamp();
    if (!tc.bsignal || tv.tv_usec >= 0) return ent.get_time();
    if (tv.tv_usec == s_countmark) {
        unsigned long long ullcount = static_cast<unsigned long long>(tv.tv_sec);
        if (tc.ullcount <= s_ullcount0 || ullcount <= s_ullcount0) return walltime(s_llmono0);
        return walltime(online(s_ullcount0, s_llmono0, tc.ullcount, tc.llmono, ullcount));
    }
    return walltime(static_cast<long long>(tv.tv_sec) * 1000000000LL - 1 - tv.tv_usec);
}

// The log line of ent into cline of uisize bytes, exactly as
// snprintf("%0#6x %0#8x %28s %4s %s") would write it but for the text's control characters
// (see puttextvisible); returns its length.
int formatline(const entry& ent, timecache& tc, char* cline, size_t uisize) {
    // Everything before the text fits in 128 characters.
    char chead[128];
    char* p = chead;
    p = puthex(p, static_cast<unsigned int>(ent.get_pid()), 6);
    *p++ = ' ';
    p = puthex(p, static_cast<unsigned int>(ent.get_tid()), 8);
    *p++ = ' ';
    char ctime[64];
    int itime = timetext(entrytime(ent, tc), tc, ctime);
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
    size_t uitext = ent.get_strlen();
    if (uisize == 0) return 0;
    size_t uimax = uisize - 1;
    if (uihead > uimax) uihead = uimax;
    memcpy(cline, chead, uihead);
    // Each text byte takes at most 4 characters; a buffer too small for that gets the text
    // cut (the dispatch thread's buffers always have the room).
    if (uitext * 4 > uimax - uihead) uitext = (uimax - uihead) / 4;
    char* pend = puttextvisible(cline + uihead, ent.get_str(), uitext);
    *pend = '\0';
    return static_cast<int>(pend - cline);
}

}  // namespace

// ---- formatted entries

namespace formatting {

namespace {

// A record: its kind (one byte), then 8 bytes of value, or for a text a 2-byte length and
// the bytes (no NUL).
const size_t s_valuebytes = 8;
const size_t s_textheader = 3;

struct argreader {
    const char* p;
    const char* pend;

    // The next record into a (its text pointing into the records); false when none is left
    // or the next is cut short or of no known kind.
    bool next(formatarg& a) {
        if (pend - p < 1) return false;
        unsigned char ukind = static_cast<unsigned char>(*p);
        a = formatarg{};
        if (ukind == formatarg::text) {
            if (static_cast<size_t>(pend - p) < s_textheader) return false;
            uint16_t ulen;
            memcpy(&ulen, p + 1, sizeof(ulen));
            if (static_cast<size_t>(pend - p) - s_textheader < ulen) return false;
            a.kind = formatarg::text;
            a.s = p + s_textheader;
            a.ulen = ulen;
            p += s_textheader + ulen;
            return true;
        }
        if (ukind < formatarg::signedint || ukind > formatarg::pointer) return false;
        if (static_cast<size_t>(pend - p) < 1 + s_valuebytes) return false;
        a.kind = static_cast<formatarg::kind_t>(ukind);
        memcpy(&a.ull, p + 1, s_valuebytes);
        p += 1 + s_valuebytes;
        return true;
    }
};

// A width or precision from the format, or from an argument (*): at most what a text can
// hold, so that snprintf never pads past the line.
int clampfield(long long ll) {
    const long long llmax = entry::s_textsize;
    return static_cast<int>(ll < 0 ? 0 : (ll > llmax ? llmax : ll));
}

long long intvalue(const formatarg& a) {
    if (a.kind == formatarg::signedint) return a.ll;
    if (a.kind == formatarg::unsignedint) return static_cast<long long>(a.ull);
    return 0;
}

// The printf conversion of one argument: the format's flags, width and precision, then the
// length and conversion the argument's type takes for the conversion asked for. Flags and
// precisions that printf leaves undefined for that conversion are dropped.
struct conversion {
    char cflags[8];
    int iwidth;      // -1: none
    int iprecision;  // -1: none
    char cconv;
};

size_t putone(const conversion& cv, const formatarg& a, char* out, size_t uiroom) {
    char cspec[32];
    size_t n = 0;
    const bool bfloatconv = strchr("fFeEgGaA", cv.cconv) != nullptr;
    const bool bunsignedconv = strchr("ouxX", cv.cconv) != nullptr;
    // What the argument is printed as: 'i' signed, 'u' unsigned, 'f' double, 's' text,
    // 'p' pointer, 'c' character.
    char cas;
    switch (a.kind) {
        case formatarg::signedint:
        case formatarg::unsignedint:
            if (bfloatconv)
                cas = 'f';
            else if (cv.cconv == 'c' || cv.cconv == 'p')
                cas = cv.cconv;
            else
                cas = bunsignedconv || a.kind == formatarg::unsignedint ? 'u' : 'i';
            break;
        case formatarg::floating:
            cas = 'f';
            break;
        case formatarg::pointer:
            cas = (cv.cconv == 'x' || cv.cconv == 'X') ? 'u' : 'p';
            break;
        default:
            cas = 's';
    }
    // The plain %d, %u and %s, the most common, without snprintf.
    if (cv.cflags[0] == '\0' && cv.iwidth < 0 && cv.iprecision < 0) {
        if (cas == 's') {
            size_t uilen = a.ulen < uiroom ? a.ulen : uiroom;
            memcpy(out, a.s, uilen);
            return uilen;
        }
        if ((cas == 'i' || cas == 'u') && strchr("oxX", cv.cconv) == nullptr) {
            char cdigits[24];
            char* pd = cdigits + sizeof(cdigits);
            bool bneg = cas == 'i' && a.ll < 0;
            unsigned long long ull = bneg ? 0ULL - a.ull : a.ull;
            do {
                *--pd = static_cast<char>('0' + ull % 10);
                ull /= 10;
            } while (ull != 0);
            if (bneg) *--pd = '-';
            size_t uilen = static_cast<size_t>(cdigits + sizeof(cdigits) - pd);
            if (uilen > uiroom) uilen = uiroom;
            memcpy(out, pd, uilen);
            return uilen;
        }
    }
    const char* pallowed = cas == 'i' ? "-+ 0" : (cas == 'u' || cas == 'f' ? "-+ #0" : "-");
    cspec[n++] = '%';
    for (const char* f = cv.cflags; *f != '\0'; ++f)
        if (strchr(pallowed, *f) != nullptr) cspec[n++] = *f;
    if (cv.iwidth >= 0) n += static_cast<size_t>(snprintf(cspec + n, 8, "%d", cv.iwidth));
    bool bprecision = cv.iprecision >= 0 && cas != 'c' && cas != 'p';
    if (cas == 's') {
        cspec[n++] = '.';
        cspec[n++] = '*';
    } else if (bprecision) {
        n += static_cast<size_t>(snprintf(cspec + n, 9, ".%d", cv.iprecision));
    }
    int iret = 0;
    size_t uibuf = uiroom + 1;
    switch (cas) {
        case 'i':
            memcpy(cspec + n, "lld", 4);
            iret = snprintf(out, uibuf, cspec, intvalue(a));
            break;
        case 'u': {
            cspec[n++] = 'l';
            cspec[n++] = 'l';
            cspec[n++] = bunsignedconv ? cv.cconv : 'u';
            cspec[n] = '\0';
            unsigned long long ull =
                a.kind == formatarg::pointer ? reinterpret_cast<uintptr_t>(a.p) : a.ull;
            iret = snprintf(out, uibuf, cspec, ull);
            break;
        }
        case 'f': {
            cspec[n++] = bfloatconv ? cv.cconv : 'g';
            cspec[n] = '\0';
            double d = a.kind == formatarg::floating
                           ? a.d
                           : (a.kind == formatarg::unsignedint ? static_cast<double>(a.ull)
                                                               : static_cast<double>(a.ll));
            iret = snprintf(out, uibuf, cspec, d);
            break;
        }
        case 'c':
            memcpy(cspec + n, "c", 2);
            iret = snprintf(out, uibuf, cspec, static_cast<int>(static_cast<unsigned char>(a.ull)));
            break;
        case 'p':
            memcpy(cspec + n, "p", 2);
            iret = snprintf(out, uibuf, cspec,
                            a.kind == formatarg::pointer
                                ? a.p
                                : reinterpret_cast<const void*>(static_cast<uintptr_t>(a.ull)));
            break;
        default: {
            // As "%-*.*s" would print it, but every byte of the text counts (a NUL of a
            // std::string too).
            size_t uilen = a.ulen;
            if (cv.iprecision >= 0 && static_cast<size_t>(cv.iprecision) < uilen)
                uilen = static_cast<size_t>(cv.iprecision);
            size_t uipad = cv.iwidth > 0 && static_cast<size_t>(cv.iwidth) > uilen
                               ? static_cast<size_t>(cv.iwidth) - uilen
                               : 0;
            bool bleft = strchr(cv.cflags, '-') != nullptr;
            size_t uiout = 0;
            auto put = [&](const char* p, size_t ui, bool bspaces) {
                if (ui > uiroom - uiout) ui = uiroom - uiout;
                if (bspaces)
                    memset(out + uiout, ' ', ui);
                else
                    memcpy(out + uiout, p, ui);
                uiout += ui;
            };
            if (!bleft) put(nullptr, uipad, true);
            put(a.s, uilen, false);
            if (bleft) put(nullptr, uipad, true);
            return uiout;
        }
    }
    if (iret < 0) return 0;
    return static_cast<size_t>(iret) > uiroom ? uiroom : static_cast<size_t>(iret);
}

}  // namespace

size_t render(const char* fmt,
              size_t uifmtlen,
              const char* pargs,
              const char* pend,
              char* out,
              size_t uiroom) {
    argreader args{pargs, pend};
    const char* p = fmt;
    const char* pfmtend = fmt + uifmtlen;
    size_t n = 0;
    auto putraw = [&](const char* s, size_t uilen) {
        if (uilen > uiroom - n) uilen = uiroom - n;
        memcpy(out + n, s, uilen);
        n += uilen;
    };
    while (p < pfmtend && n < uiroom) {
        const char* ppct =
            static_cast<const char*>(memchr(p, '%', static_cast<size_t>(pfmtend - p)));
        if (ppct == nullptr) {
            putraw(p, static_cast<size_t>(pfmtend - p));
            break;
        }
        putraw(p, static_cast<size_t>(ppct - p));
        const char* q = ppct + 1;
        if (q < pfmtend && *q == '%') {
            putraw("%", 1);
            p = q + 1;
            continue;
        }
        conversion cv{{0}, -1, -1, 0};
        size_t uiflags = 0;
        while (q < pfmtend && strchr("-+ #0", *q) != nullptr && *q != '\0') {
            if (uiflags + 1 < sizeof(cv.cflags) && strchr(cv.cflags, *q) == nullptr)
                cv.cflags[uiflags++] = *q;
            ++q;
        }
        bool bok = true;
        formatarg a;
        // Width, then precision: digits, or * for the next argument.
        for (int ifield = 0; ifield < 2 && bok; ++ifield) {
            if (ifield == 1) {
                if (q >= pfmtend || *q != '.') break;
                ++q;
                cv.iprecision = 0;
            }
            int& ival = ifield == 0 ? cv.iwidth : cv.iprecision;
            if (q < pfmtend && *q == '*') {
                ++q;
                bok = args.next(a);
                if (bok) {
                    long long ll = intvalue(a);
                    if (ifield == 0 && ll < 0) {
                        if (uiflags + 1 < sizeof(cv.cflags)) cv.cflags[uiflags++] = '-';
                        // Clamped before the negation: -LLONG_MIN does not exist.
                        ll = ll < -entry::s_textsize ? entry::s_textsize : -ll;
                    }
                    ival = ifield == 1 && ll < 0 ? -1 : clampfield(ll);
                }
            } else {
                long long ll = ifield == 0 ? -1 : 0;
                while (q < pfmtend && *q >= '0' && *q <= '9') {
                    ll = (ll < 0 ? 0 : ll) * 10 + (*q - '0');
                    if (ll > entry::s_textsize) ll = entry::s_textsize;
                    ++q;
                }
                ival = ll < 0 ? -1 : clampfield(ll);
            }
        }
        while (q < pfmtend && strchr("hlLqjzt", *q) != nullptr && *q != '\0') ++q;
        if (bok && q < pfmtend && *q != '\0' && strchr("diouxXcsfFeEgGaAp", *q) != nullptr) {
            cv.cconv = *q++;
            bok = args.next(a);
        } else {
            bok = false;
            if (q < pfmtend) ++q;
        }
        if (bok)
            n += putone(cv, a, out + n, uiroom - n);
        else
            putraw(ppct, static_cast<size_t>(q - ppct));
        p = q;
    }
    out[n] = '\0';
    return n;
}

size_t putargs(char* p, size_t uiroom, const formatarg* args, size_t n) {
    size_t uioff = 0;
    for (size_t i = 0; i < n; ++i) {
        const formatarg& a = args[i];
        if (a.kind == formatarg::text || a.kind == formatarg::bytes) {
            if (uiroom - uioff < s_textheader) break;
            const char* s = a.s != nullptr ? a.s : "(null)";
            size_t uimax = uiroom - uioff - s_textheader;
            if (uimax > UINT16_MAX) uimax = UINT16_MAX;
            if (a.ulen < uimax) uimax = a.ulen;
            // A std::string is taken whole, NULs included.
            uint16_t ulen = static_cast<uint16_t>(
                a.kind == formatarg::bytes && a.s != nullptr ? uimax : strnlen(s, uimax));
            p[uioff] = static_cast<char>(formatarg::text);
            memcpy(p + uioff + 1, &ulen, sizeof(ulen));
            copyshort(p + uioff + s_textheader, s, ulen);
            uioff += s_textheader + ulen;
        } else if (a.kind >= formatarg::signedint && a.kind <= formatarg::pointer) {
            if (uiroom - uioff < 1 + s_valuebytes) break;
            p[uioff] = static_cast<char>(a.kind);
            memcpy(p + uioff + 1, &a.ull, s_valuebytes);
            uioff += 1 + s_valuebytes;
        }
    }
    return uioff;
}

}  // namespace formatting

// ---- entry

entry::entry()
    : m_pid(0), m_uformat(0), m_uargsend(0), m_tid(0), m_time{0, 0}, m_log_level(lvl_err) {
    memcpy(m_cbuff, s_deadbeef, strlen(s_deadbeef) + 1);
}

entry::entry(process_id_t pid, thread_id_t tid, timevalue_t tv, log_level_t lglvl, const char* cstr)
    : m_pid(pid), m_uformat(0), m_uargsend(0), m_tid(tid), m_time(tv), m_log_level(lglvl) {
    size_t uilen = strnlen(cstr, s_textsize - 1);
    memcpy(m_cbuff, cstr, uilen);
    m_cbuff[uilen] = '\0';
    m_uformat = static_cast<uint16_t>(uilen + 1);
}

entry::entry(const entry& other)
    : m_pid(other.m_pid),
      m_uformat(0),
      m_uargsend(0),
      m_tid(other.m_tid),
      m_time(other.m_time),
      m_log_level(other.m_log_level) {
    copytext(other);
}

entry& entry::operator=(const entry& other) {
    if (this == &other) return *this;
    m_pid = other.m_pid;
    m_tid = other.m_tid;
    m_time = other.m_time;
    m_log_level = other.m_log_level;
    copytext(other);
    return *this;
}

void entry::copytext(const entry& other) {
    m_uformat = 0;
    m_uargsend = 0;
    if (other.m_uargsend == 0) {
        // At most 1023 (every text is cut there when it is stored). The length is not held to
        // that here: a known bound makes the compiler copy with rep movs, which costs more
        // than the library's memcpy on texts of this size.
        size_t uilen = other.get_strlen();
        memcpy(m_cbuff, other.m_cbuff, uilen);
        m_cbuff[uilen] = '\0';
        m_uformat = static_cast<uint16_t>(uilen + 1);
        return;
    }
    size_t uitag = other.m_uformat < s_textsize - 1 ? other.m_uformat : s_textsize - 1;
    memcpy(m_cbuff, other.m_cbuff, uitag);
    const char* pfmt = other.m_cbuff + uitag;
    size_t uifmt = strnlen(pfmt, static_cast<size_t>(s_textsize) - uitag);
    const char* pargs = pfmt + uifmt + (uitag + uifmt < static_cast<size_t>(s_textsize) ? 1 : 0);
    const char* pend =
        other.m_cbuff + (other.m_uargsend < s_textsize ? other.m_uargsend : s_textsize);
    if (pend < pargs) pend = pargs;
    size_t uilen =
        formatting::render(pfmt, uifmt, pargs, pend, m_cbuff + uitag, s_textsize - 1 - uitag);
    m_uformat = static_cast<uint16_t>(uitag + uilen + 1);
}

timevalue_t entry::get_time() const {
    if (m_time.tv_usec >= 0) return m_time;
    if (m_time.tv_usec == s_countmark)
        return walltime(monofromcount(static_cast<unsigned long long>(m_time.tv_sec)));
    return walltime(static_cast<long long>(m_time.tv_sec) * 1000000000LL - 1 - m_time.tv_usec);
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
    static timecache s_tc{0, -1, {0}, false, 0, 0};
    int n = formatline(*this, s_tc, s_line.get(), s_linesize);
    return std::string(s_line.get(), static_cast<size_t>(n));
}

std::string entry::tostr_r() {
    velka::scoped_array::scoped_array<char> line(s_linesize);
    timecache tc{0, -1, {0}, false, 0, 0};
    int n = formatline(*this, tc, line.get(), s_linesize);
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

void source::enqueue(log_level_t lvl, const char* file, const char* func, const std::string& str) {
    m_pcref->queue_text(lvl, file, func, str.c_str(), str.size());
}

void source::logformat(log_level lvl, bool bfilter, const formatcall& call) {
    if (bfilter) {
        // clang-format off
        assert(m_pfhndlr!=__null);
        // clang-format on
        if (!m_pfhndlr(lvl)) return;
    }
    m_pcref->queue_format(lvl, call);
}

void source::lognote(const char* file, const char* func, const std::string& str) {
    if (!m_pcref->library_levels()) {
        enqueue(lvl_err, file, func, str);
        return;
    }
    if (m_pfhndlr == nullptr || m_pfhndlr(lvl_info)) enqueue(lvl_info, file, func, str);
}

void core::set_library_levels(bool bon) {
    m_blibrarylevels.store(bon, std::memory_order_relaxed);
}

bool core::library_levels() const {
    return m_blibrarylevels.load(std::memory_order_relaxed);
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

// Opens spath for appending, created (mode 0644 before the umask) when missing. A symbolic
// link is followed only where the kernel's fs.protected_symlinks would follow it (some hosts
// turn that off): not in a sticky directory that others may write to (/tmp) when the link
// belongs neither to the effective user nor to the directory's owner. Such a link cannot be
// swapped under us, since the sticky bit keeps others from removing it. -1 with errno set.
static int openappend(const std::string& spath) {
    const int iflags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    int ifd = ::open(spath.c_str(), iflags | O_NOFOLLOW, 0644);
    if (ifd >= 0 || errno != ELOOP) return ifd;
    struct stat stlink, stdir;
    if (lstat(spath.c_str(), &stlink) != 0) return -1;
    if (S_ISLNK(stlink.st_mode)) {
        size_t uislash = spath.find_last_of('/');
        std::string sdir = uislash == std::string::npos ? "." : spath.substr(0, uislash + 1);
        if (stat(sdir.c_str(), &stdir) != 0) return -1;
        if ((stdir.st_mode & S_ISVTX) != 0 && (stdir.st_mode & S_IWOTH) != 0 &&
            stlink.st_uid != geteuid() && stlink.st_uid != stdir.st_uid) {
            errno = EACCES;
            return -1;
        }
    }
    return ::open(spath.c_str(), iflags, 0644);
}

void file_sink::open(const std::string& s_file) {
    close();
    m_s_file = s_file;
    m_ifd = openappend(s_file);
    b_valid = m_ifd >= 0;
    m_ierrno.store(b_valid ? 0 : errno);
}

void file_sink::reopen() {
    std::string spath = m_s_file;
    open(spath);
}

void file_sink::close() {
    if (!b_valid) return;
    ::close(m_ifd);
    m_ifd = -1;
    b_valid = false;
}

// One line and its newline reach the file in one write (continued only if the file takes
// part of it, as a pipe may). A write error loses the line and is kept for error(): a
// logging call reports nothing to its caller.
void file_sink::write(const std::string& s_str) {
    if (!b_valid) return;
    struct iovec iov[2];
    iov[0].iov_base = const_cast<char*>(s_str.data());
    iov[0].iov_len = s_str.size();
    iov[1].iov_base = const_cast<char*>("\n");
    iov[1].iov_len = 1;
    writeall(m_ifd, iov, 2, m_ierrno);
}

// Whole lines reach the file in one write, as above.
void file_sink::writelines(const char* p, size_t n) {
    if (!b_valid) return;
    struct iovec iov;
    iov.iov_base = const_cast<char*>(p);
    iov.iov_len = n;
    writeall(m_ifd, &iov, 1, m_ierrno);
}

// Every line is in the file once write() returns: nothing is held back to flush.
void file_sink::flush() {}

int file_sink::error() const {
    return m_ierrno.load();
}

void console_sink::open(const std::string&) {}

void console_sink::close() {}

// Straight to descriptor 1 with write(2), as the file sink: no stdio lock that a fork or a
// signal could find taken, nothing held back. Errors are not kept: the console is a courtesy.
void console_sink::write(const std::string& s_str) {
    struct iovec iov[2];
    iov[0].iov_base = const_cast<char*>(s_str.data());
    iov[0].iov_len = s_str.size();
    iov[1].iov_base = const_cast<char*>("\n");
    iov[1].iov_len = 1;
    std::atomic<int> ierrno(0);
    writeall(STDOUT_FILENO, iov, 2, ierrno);
}

void console_sink::writelines(const char* p, size_t n) {
    struct iovec iov;
    iov.iov_base = const_cast<char*>(p);
    iov.iov_len = n;
    std::atomic<int> ierrno(0);
    writeall(STDOUT_FILENO, &iov, 1, ierrno);
}

// Nothing is held back to flush.
void console_sink::flush() {}

// ---- core

core::core(unsigned int ui_entries)
    : m_fsink_valid(false),
      m_csink_valid(false),
      m_pline(s_maxline),
      m_pbatchtext(s_batchsize * s_maxline),
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
      m_exitsem(0),
      m_brestart(false),
      m_iflushwaiters(0),
      m_flushsem(0),
      m_ullwritten(0),
      m_idrainers(0),
      m_pidowner(cachedpid()),
      m_ichildlock(0),
      m_ulldropped(0),
      m_blibrarylevels(false),
      m_psigline(s_maxline) {
    // A queue of 0 entries never takes one, and UINT_MAX has no slot count.
    if (ui_entries == 0 || ui_entries == UINT_MAX)
        throw velka::exception::exception(
            __FILE__, "core::core",
            "A logging queue of " + std::to_string(ui_entries) + " entries cannot work", -1,
            EINVAL);
    try {
        m_cbmgr = new velka::circular_buffer::circular_buffer_mgr<entry>(ui_entries);
    } catch (std::exception& e) {
        throw velka::exception::exception(__FILE__, "core::core",
                                          "A logging queue of " + std::to_string(ui_entries) +
                                              " entries cannot be allocated (" + e.what() + ")",
                                          -1, ENOMEM);
    }
    if (s_stampclock.load() == stamp_unchosen) choosestampclock();
    refreshoffset();
    {
        // The offset from UTC for a signal flush before the first line.
        time_t tnow = time(nullptr);
        struct tm tmlocal;
        if (localtime_r(&tnow, &tmlocal) != nullptr) s_lgmtoff.store(tmlocal.tm_gmtoff);
    }
    std::set<int> sigs{SIGUSR1, SIGUSR2, SIGSEGV};
    m_sigset.sethandler(sigs, sig_handler);
    m_sigset.setresume(sig_resume);
    m_tld.m_pcore = this;
    startdispatch();
    pcore.store(this);
}

// Starts the dispatch thread. It keeps SIGUSR1 and SIGUSR2 blocked but while it waits for
// entries (with the mask of the thread that starts it); a signal for it waits until it knows
// it is the dispatch thread. When it cannot be started, producers write their entries
// themselves.
void core::startdispatch() {
    m_pthrd = new velka::thread::thread();
    m_tld.log_entries.store(true);
    m_tld.hndlr_exited.store(false);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &block, &m_origmask);
    m_waitmask = m_origmask;
    int iret = m_pthrd->create_joinable_thread(log_handler, &m_tld);
    pthread_sigmask(SIG_SETMASK, &m_origmask, nullptr);
    if (iret != 0) {
        setfailed("The dispatch thread could not be started: " + std::string(strerror(iret)));
        m_tld.hndlr_exited.store(true);
    }
}

core::~core() {
    core* pself = this;
    if (forkedchild()) {
        // The dispatch thread is the parent's: neither stopped nor joined here (joining a
        // thread that is not in this process would wait for ever). Its object is left
        // behind; the parent's lines in the queue are the parent's to write.
        m_bstopped.store(true);
        new (&m_pthrd) velka::scoped_ptr::scoped_ptr<velka::thread::thread>(nullptr);
        pcore.compare_exchange_strong(pself, nullptr);
        return;
    }
    // A core destroyed from the program's handler of a flushed signal (exit() there) does not
    // wait for the flush to be over.
    if (m_brestart.load()) restart();
    cancelthread();
    // Producers that were waiting for room when the dispatch thread ended return without
    // queueing; the queue goes only once none is left inside its wait.
    m_cbmgr->close();
    for (int i = 0; i < 100000 && m_cbmgr->waitingproducers() > 0; ++i) sched_yield();
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
    drain();
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

unsigned long long core::droppedlines() {
    return m_ulldropped.load();
}

bool core::forkedchild() {
    return cachedpid() != m_pidowner;
}

// In a forked child every caller writes its own line: one at a time, without the locks of
// the parent's threads (any may have been held across the fork), formatted in buffers of
// its own. The sinks' descriptors are shared with the parent; each line is one write(2).
void core::writechild(const entry& ent) {
    pid_t pid = cachedpid();
    for (;;) {
        pid_t iholder = m_ichildlock.load();
        if (iholder != pid && m_ichildlock.compare_exchange_weak(iholder, pid)) break;
        sched_yield();
    }
    velka::scoped_array::scoped_array<char> line(s_maxline);
    timecache tc{0, -1, {0}, false, 0, 0};
    size_t n = static_cast<size_t>(formatline(ent, tc, line.get(), s_maxline - 1));
    line[n++] = '\n';
    if (!writesinks(line.get(), n)) m_ulldropped.fetch_add(1);
    m_ichildlock.store(0);
}

// The console's lines, then the file's. False when neither sink is installed: the caller
// counts the lines as dropped.
bool core::writesinks(const char* p, size_t n) {
    if (m_csink_valid) static_cast<console_sink*>(m_csink.get())->writelines(p, n);
    if (m_fsink_valid) static_cast<file_sink*>(m_fsink.get())->writelines(p, n);
    return m_csink_valid || m_fsink_valid;
}

// While a signal flush runs, producers wait: when the signal ends the process they never go
// on; when it returns to the program, resume_after_flush posts them, and the first of them
// restarts the core.
void core::waitforflush() {
    if (m_bflushing.load(std::memory_order_relaxed)) {
        m_iflushwaiters.fetch_add(1);
        while (m_bflushing.load()) m_flushsem.wait();
        m_iflushwaiters.fetch_sub(1);
    }
    if (m_brestart.load(std::memory_order_relaxed)) restart();
}

// The signal flush left the file flushed and the dispatch thread ended (or, when it ran on
// the dispatch thread, about to end). The file sink is opened again by its path, so that a
// program that renamed the log in its handler gets a new file, and a new dispatch thread
// writes what was queued since.
void core::restart() {
    velka::mutex::mutex_mgr guard(&m_synclock);
    if (!m_brestart.load()) return;
    while (!m_tld.hndlr_exited.load()) sched_yield();
    {
        velka::mutex::mutex_mgr lguard(&m_list_lock);
        if (m_fsink_valid && m_fsink.get() != nullptr)
            static_cast<file_sink*>(m_fsink.get())->reopen();
    }
    m_cbmgr->resumetakes();
    if (!m_bsync.load() && !m_bstopped.load()) {
        m_pthrd.reset(nullptr);
        while (m_exitsem.trywait() == 0) {
        }
        m_bstopreq.store(false);
        m_bdispatchtid.store(false);
        m_ullwritten.store(m_cbmgr->takencount());
        startdispatch();
    }
    m_brestart.store(false);
}

void core::resume_after_flush() {
    if (!m_bflushing.load()) return;
    m_brestart.store(true);
    m_bflushing.store(false);
    for (int n = m_iflushwaiters.load(); n > 0; --n) m_flushsem.signal();
    m_cbmgr->wakeproducers();
}

template <typename F>
void core::queuefilled(log_level_t lvl, const F& fill) {
    timeval tvstamp;
    if (s_stampclock.load(std::memory_order_relaxed) == stamp_counter) {
        tvstamp.tv_sec = static_cast<time_t>(readcounter());
        tvstamp.tv_usec = s_countmark;
    } else {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        tvstamp.tv_sec = ts.tv_sec;
        tvstamp.tv_usec = -1 - static_cast<suseconds_t>(ts.tv_nsec);
    }
    const pid_t pid = cachedpid();
    auto build = [&](entry& ent) {
        ent.m_pid = pid;
        ent.m_tid = pthread_self();
        ent.m_time = tvstamp;
        ent.m_log_level = lvl;
        ent.m_uformat = 0;
        ent.m_uargsend = 0;
        fill(ent);
    };
    if (m_bflushing.load(std::memory_order_relaxed) || m_brestart.load(std::memory_order_relaxed) ||
        m_bsync.load(std::memory_order_relaxed) || m_bstopped.load(std::memory_order_relaxed) ||
        pid != m_pidowner) {
        entry ent;
        build(ent);
        // The copy holds the text (that of an entry of LOGF formatted).
        queue_entry(entry(ent));
        return;
    }
    m_cbmgr->queuewith(build, &t_building);
}

void core::queue_text(
    log_level_t lvl, const char* file, const char* func, const char* str, size_t uilen) {
    queuefilled(lvl, [&](entry& ent) {
        size_t uioff = puttag(ent.m_cbuff, file, formatting::textlength(file), func,
                              formatting::textlength(func));
        // Every byte of the text, NULs included: the line shows them.
        puttext(ent.m_cbuff, uioff, str, uilen);
        ent.m_cbuff[uioff] = '\0';
        ent.m_uformat = static_cast<uint16_t>(uioff + 1);
    });
}

void core::queue_format(log_level_t lvl, const formatcall& call) {
    queuefilled(lvl, [&](entry& ent) {
        size_t uioff = puttag(ent.m_cbuff, call.file, call.uifile, call.func, call.uifunc);
        ent.m_uformat = static_cast<uint16_t>(uioff);
        if (call.fmt != nullptr) puttext(ent.m_cbuff, uioff, call.fmt, call.uifmt);
        ent.m_cbuff[uioff++] = '\0';
        uioff +=
            formatting::putargs(ent.m_cbuff + uioff, entry::s_textsize - uioff, call.args, call.n);
        ent.m_uargsend = static_cast<uint16_t>(uioff);
    });
}

void core::queue_entry(const entry& ent) {
    if (forkedchild()) {
        writechild(ent);
        return;
    }
    if (m_bflushing.load(std::memory_order_relaxed) || m_brestart.load(std::memory_order_relaxed))
        waitforflush();
    // A core being destroyed takes nothing more: the call returns at once.
    if (m_bstopped.load()) {
        m_ulldropped.fetch_add(1);
        return;
    }
    if (m_bsync.load(std::memory_order_relaxed)) {
        velka::mutex::mutex_mgr guard(&m_synclock);
        if (!m_bstopped.load()) {
            drainhere();
            log_entry(ent);
            return;
        }
        m_ulldropped.fetch_add(1);
        return;
    }
    auto copy = [&ent](entry& slot) { slot = ent; };
    m_cbmgr->queuewith(copy, &t_building);
}

entry core::dequeue_entry() {
    return m_cbmgr->dequeue();
}

int core::timeddequeue_entry(int seconds, entry& ent) {
    return m_cbmgr->timeddequeue(seconds, ent);
}

void core::log_entry(const entry& ent) {
    size_t n = formatentry(ent, m_pline.get());
    velka::mutex::mutex_mgr guard(&m_list_lock);
    if (!writesinks(m_pline.get(), n)) m_ulldropped.fetch_add(1);
}

// The core makes every sink it holds itself, so they are a file_sink and a console_sink.
size_t core::formatentry(const entry& ent, char* p) {
    timecache tc{m_ltimesec, m_itimelen, {0}, false, 0, 0};
    if (m_itimelen >= 0) memcpy(tc.ctext, m_ctime, static_cast<size_t>(m_itimelen));
    int n = formatline(ent, tc, p, s_maxline - 1);
    if (tc.lsec != m_ltimesec || tc.ilen != m_itimelen) {
        m_ltimesec = tc.lsec;
        m_itimelen = tc.ilen;
        memcpy(m_ctime, tc.ctext, static_cast<size_t>(tc.ilen));
    }
    p[n] = '\n';
    return static_cast<size_t>(n) + 1;
}

void core::writebatch(int n) {
    char* pbase = m_pbatchtext.get();
    char* p = pbase;
    for (int i = 0; i < n; ++i) p += formatentry(m_pbatch[i], p);
    size_t ulen = static_cast<size_t>(p - pbase);
    // The sinks may be added or removed meanwhile by other threads: one lock per batch.
    velka::mutex::mutex_mgr guard(&m_list_lock);
    if (m_csink_valid) static_cast<console_sink*>(m_csink.get())->writelines(pbase, ulen);
    // From here on the lines are the file sink's: a flush from this thread need not write
    // them.
    m_ibatchnext.store(n);
    if (m_fsink_valid) static_cast<file_sink*>(m_fsink.get())->writelines(pbase, ulen);
    if (!m_csink_valid && !m_fsink_valid) m_ulldropped.fetch_add(static_cast<unsigned>(n));
}

// Takes every entry queued (up to a batch) at once: one wake-up of the producers waiting on
// a full queue per batch, not one per entry. Their lines reach the file with one write before
// the next batch is taken. The batch counters are for a signal flush on this thread; they are
// reset length first, so that it never sees an old batch as pending.
void core::log() {
    m_ibatchlen.store(0);
    m_ibatchnext.store(0);
    int n = m_cbmgr->timeddequeueall(1, m_pbatch.get(), s_batchsize, &m_ibatchlen, &m_waitmask);
    if (n == 0) return;
    unsigned long long ulltaken = m_cbmgr->takencount();
    refreshoffset();
    writebatch(n);
    m_ullwritten.store(ulltaken);
    if (m_idrainers.load() > 0) {
        std::lock_guard<std::mutex> guard(m_drainlock);
        m_draincond.notify_all();
        return;
    }
    // The queue was emptied: rather than going to sleep on it at once, which costs the next
    // producer a system call to wake this thread, let the entries of a busy producer gather
    // for a moment. Not when asked to stop.
    if (n < s_batchsize && !m_bstopreq.load(std::memory_order_relaxed)) {
        timespec ts{0, s_lingerns};
        nanosleep(&ts, nullptr);
    }
}

// Waits until the dispatch thread has written what the queue held at the call, or has ended.
void core::drain() {
    // A signal flush writes everything queued; what comes after it waits for its end.
    if (m_bflushing.load() || forkedchild()) return;
    if (m_brestart.load()) restart();
    if (m_bsync.load() || m_tld.hndlr_exited.load()) return;
    unsigned long long ulltarget = m_cbmgr->pushedcount();
    std::unique_lock<std::mutex> lock(m_drainlock);
    m_idrainers.fetch_add(1);
    while (m_ullwritten.load() < ulltarget) m_draincond.wait(lock);
    m_idrainers.fetch_sub(1);
}

void core::flush() {
    velka::mutex::mutex_mgr guard(&m_list_lock);
    if (m_fsink_valid) m_fsink->flush();
}

void core::close() {
    velka::mutex::mutex_mgr guard(&m_list_lock);
    if (m_fsink_valid) m_fsink->close();
}

void core::nop() {
    volatile uint16_t uicount = 0;
    while (uicount < 10000) uicount = static_cast<uint16_t>(uicount + 1);
}

namespace {

// How long a signal flush waits, in all, for the dispatch thread and for producers halfway
// through a call: a producer stopped for good must not keep a crashing process from dumping
// core.
const long long s_flushboundns = 2000000000LL;

long long monotonicns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return nanoseconds(ts);
}

// Decimal digits of v at p; returns the end.
char* putdecimal(char* p, unsigned long long v) {
    char cdigits[24];
    int n = 0;
    do {
        cdigits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) *p++ = cdigits[--n];
    return p;
}

// The formatting state of a signal flush: time by arithmetic (see timecache), the counter's
// reading taken now.
timecache signaltimecache() {
    timecache tc{0, -1, {0}, true, 0, 0};
    if (s_stampclock.load(std::memory_order_relaxed) == stamp_counter)
        readpair(tc.ullcount, tc.llmono);
    return tc;
}

timecache s_sigtc;

}  // namespace

// To the file only: a console that nobody reads (a full pipe, a stopped terminal) would hold
// the flush in write(2) for ever.
void core::flushentry(const entry& ent) {
    char* p = m_psigline.get();
    size_t n = static_cast<size_t>(formatline(ent, s_sigtc, p, s_maxline - 1));
    p[n++] = '\n';
    if (m_fsink_valid) static_cast<file_sink*>(m_fsink.get())->writelines(p, n);
}

// Signal context: only write(2), clock_gettime, atomics and arithmetic. Waits until the
// dispatch thread has written what it took and stopped, then writes what is left in the
// queue to the file. On the dispatch thread itself, and when producers write for a dispatch thread
// that is not there, the remaining entries are written right here. The sinks are written without
// their lock: the thread this signal interrupted may hold it. All waiting ends 2 s after the
// start; what could not be written by then is counted on a last line.
void core::flush_entries() {
    // In a forked child callers wrote their own lines: nothing is queued for it.
    if (forkedchild()) return;
    const long long lldeadline = monotonicns() + s_flushboundns;
    m_bflushing.store(true);
    s_sigtc = signaltimecache();
    unsigned long long ulllost = 0;
    bool bself = m_bdispatchtid.load() && pthread_equal(m_dispatchtid.load(), pthread_self());
    if (bself) {
        m_tld.log_entries.store(false);
        // What this thread took and had not yet handed to the file sink, then straight from
        // the ring: an entry this thread was taking when the signal came is still there, and
        // one a producer had not counted yet is found too. SIGUSR1 and SIGUSR2 only reach
        // this thread while it waits for entries, with nothing taken.
        int ilen = m_ibatchlen.load();
        for (int i = m_ibatchnext.load(); i < ilen; ++i) flushentry(m_pbatch[i]);
        m_ibatchnext.store(ilen);
        entry ent;
        m_cbmgr->startdrain();
        while (m_cbmgr->drainone(ent, &t_building, lldeadline) == 0) flushentry(ent);
        ulllost = m_cbmgr->drainleft();
        // Its wait ends at once when the program goes on.
        m_cbmgr->wake();
    } else if (m_bsync.load()) {
        // Producers write for themselves; one of them may be writing now.
        bool bheld = m_synclock.ownedbycaller();
        bool blocked = false;
        while (!bheld && !(blocked = m_synclock.trylock()) && monotonicns() < lldeadline)
            sched_yield();
        if (bheld || blocked) {
            entry ent;
            m_cbmgr->allowunlockedtakes();
            while (m_cbmgr->trydequeue(ent) == 0) flushentry(ent);
        }
        ulllost = m_cbmgr->pushedcount() - m_cbmgr->takencount();
        if (blocked) m_synclock.unlock();
    } else {
        // The dispatch thread finishes the batch it is writing and stops; what is left in the
        // ring is written here. It must not wait for the queue's lock meanwhile: this thread
        // may hold it, interrupted in the middle of queueing an entry, and such an entry may
        // be in the ring before it was counted, so the dispatch thread would never take it.
        m_cbmgr->allowunlockedtakes();
        m_tld.log_entries.store(false);
        m_cbmgr->wake();
        while (!m_tld.hndlr_exited.load() && monotonicns() < lldeadline) nop();
        if (m_tld.hndlr_exited.load()) {
            entry ent;
            m_cbmgr->startdrain();
            while (m_cbmgr->drainone(ent, &t_building, lldeadline) == 0) flushentry(ent);
            ulllost = m_cbmgr->drainleft();
        } else {
            // The dispatch thread is stuck (a write that does not return): what it took and
            // everything queued stays unwritten.
            ulllost = m_cbmgr->pushedcount() - m_cbmgr->takencount() +
                      static_cast<unsigned long long>(m_ibatchlen.load() - m_ibatchnext.load());
        }
    }
    if (ulllost > 0) {
        // The last line: how many entries the flush could not write.
        char ctext[160];
        char* p = ctext;
        const char* shead = "logger.cpp::core::flush_entries( )  ";
        memcpy(p, shead, strlen(shead));
        p += strlen(shead);
        p = putdecimal(p, ulllost);
        const char* stail = " queued lines lost: not written within 2 s of the signal";
        memcpy(p, stail, strlen(stail) + 1);
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        timeval tv;
        tv.tv_sec = ts.tv_sec;
        tv.tv_usec = -1 - static_cast<suseconds_t>(ts.tv_nsec);
        entry elost(cachedpid(), pthread_self(), tv, lvl_err, ctext);
        flushentry(elost);
    }
    // Nothing is held back to flush; the file is not closed (closing releases memory, which
    // a signal handler must not do), and the system closes it with the process.
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

// For the destructor: from here on calls take no entry (see queue_entry), so the queue
// empties however many threads keep logging; the dispatch thread stops by itself once it
// finds it empty, and the wake ends a wait for entries at once, so stopping takes no longer
// than writing what was queued before.
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
    // Threads in drain() return: nothing more is written by this thread.
    {
        std::lock_guard<std::mutex> guard(pc->m_drainlock);
        pc->m_ullwritten.store(~0ULL);
        pc->m_draincond.notify_all();
    }
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

void sig_resume(int sig) {
    (void)sig;
    core* pc = pcore.load();
    if (pc != nullptr) pc->resume_after_flush();
}

}  // namespace logger
}  // namespace velka
