// Logger benchmark: the producer-side cost of one call while the queue has room, and the
// end-to-end throughput until every line is in the file (each line flushed), with 1 and 2
// producer threads, for velka's logger and for spdlog's asynchronous logger run in the same
// process under the same guarantees (queue of the same capacity, producers block when it is
// full, no line held back in the process: spdlog flushes its file on every message, velka
// writes each batch it takes with one write() before it takes the next). A plain loop of
// snprintf and one write() per line gives the ceiling. Prints the figures and the ratios
// velka/spdlog. Last, the stop latency: how long destroying a core takes once its last line is in
// the file (and for an idle core), the median of several cores.
//
//   build-dir/bench/logger_bench [messages per run]     (default 200000)
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <velka/logger>

namespace {

const unsigned int s_capacity = 8192;
typedef std::chrono::steady_clock benchclock;

double seconds(benchclock::time_point t0, benchclock::time_point t1) {
    return std::chrono::duration<double>(t1 - t0).count();
}

// Counts the lines that have reached the file so far.
class linecounter {
public:
    explicit linecounter(const std::string& spath)
        : m_ifd(open(spath.c_str(), O_RDONLY)), m_ull(0) {}
    ~linecounter() {
        if (m_ifd >= 0) ::close(m_ifd);
    }
    unsigned long long count() {
        char cbuf[1 << 16];
        ssize_t n;
        while (m_ifd >= 0 && (n = read(m_ifd, cbuf, sizeof(cbuf))) > 0)
            for (ssize_t i = 0; i < n; ++i) m_ull += cbuf[i] == '\n';
        return m_ull;
    }
    // Waits until the file holds ulltarget lines.
    void waitfor(unsigned long long ulltarget) {
        while (count() < ulltarget) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

private:
    int m_ifd;
    unsigned long long m_ull;
};

// One logger under test: logs message i from the calling thread.
typedef std::function<void(int)> logfn;

struct result {
    double dnspercall;
    double dthroughput;
};

// Runs iproducers threads, each calling fn icount times; returns the mean producer time per
// call in ns.
double produce(const logfn& fn, int iproducers, int icount) {
    std::vector<double> vns(static_cast<size_t>(iproducers));
    std::vector<std::thread> threads;
    for (int p = 0; p < iproducers; ++p)
        threads.emplace_back([&fn, &vns, p, icount] {
            auto t0 = benchclock::now();
            for (int i = 0; i < icount; ++i) fn(i);
            vns[static_cast<size_t>(p)] = seconds(t0, benchclock::now()) * 1e9 / icount;
        });
    for (auto& t : threads) t.join();
    double dsum = 0;
    for (double d : vns) dsum += d;
    return dsum / iproducers;
}

// Producer cost in bursts that fit the queue (waiting for the file between bursts), then
// the throughput of imessages sent as fast as the producers can.
result measure(const logfn& fn, const std::string& slog, int iproducers, int imessages) {
    // The lines of the run before are written back first, so that the writeback does not take
    // processor time from this run.
    sync();
    linecounter lines(slog);
    unsigned long long ulltotal = 0;
    result r{0, 0};
    const int iburst = static_cast<int>(s_capacity / 2) / iproducers;
    const int irounds = 20;
    double dns = 0;
    for (int round = 0; round < irounds; ++round) {
        dns += produce(fn, iproducers, iburst);
        ulltotal += static_cast<unsigned long long>(iburst) * iproducers;
        lines.waitfor(ulltotal);
    }
    r.dnspercall = dns / irounds;
    auto t0 = benchclock::now();
    produce(fn, iproducers, imessages / iproducers);
    ulltotal += static_cast<unsigned long long>(imessages / iproducers) * iproducers;
    lines.waitfor(ulltotal);
    r.dthroughput = (imessages / iproducers) * iproducers / seconds(t0, benchclock::now());
    return r;
}

// The ceiling: format each line with snprintf and write it with one write().
double plainloop(const std::string& slog, int imessages) {
    int ifd = open(slog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    char cline[256];
    auto t0 = benchclock::now();
    for (int i = 0; i < imessages; ++i) {
        int n = snprintf(cline, sizeof(cline),
                         "%0#6x %0#8x   2024-01-02 03:04:05.000123  ERR "
                         "bench.cpp::bench::run( )  message %d\n",
                         1234, 0x4700, i);
        if (write(ifd, cline, static_cast<size_t>(n)) != n) break;
    }
    double d = imessages / seconds(t0, benchclock::now());
    ::close(ifd);
    return d;
}

// Median time in ms that ~core takes once ilines lines are in the file.
double stoplatency(const std::string& slog, int ilines) {
    const int iruns = 21;
    std::vector<double> vms;
    for (int r = 0; r < iruns; ++r) {
        linecounter lines(slog);
        unsigned long long ullbefore = lines.count();
        auto pc = std::make_unique<velka::logger::core>(s_capacity);
        pc->add_sink(velka::logger::FILE_SINK, slog);
        {
            velka::logger::source src(pc.get(), velka::logger::everylevel);
            for (int i = 0; i < ilines; ++i)
                velka::logger::LOG(&src, "bench.cpp", "bench::stop",
                                   "message " + std::to_string(i));
        }
        lines.waitfor(ullbefore + static_cast<unsigned long long>(ilines));
        auto t0 = benchclock::now();
        pc.reset();
        vms.push_back(seconds(t0, benchclock::now()) * 1e3);
    }
    std::sort(vms.begin(), vms.end());
    return vms[vms.size() / 2];
}

// What building a velka call's message (a std::string) costs the caller by itself: the
// share of velka's producer cost that is the benchmark's own, not the logger's (spdlog's call
// takes the format arguments instead).
__attribute__((noinline)) void takestring(const std::string& s) {
    __asm__ volatile("" : : "r"(s.data()) : "memory");
}

double argumentcost() {
    std::vector<double> vns;
    for (int round = 0; round < 20; ++round)
        vns.push_back(produce([](int i) { takestring("message " + std::to_string(i)); }, 1,
                              static_cast<int>(s_capacity / 2)));
    std::sort(vns.begin(), vns.end());
    return vns[vns.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int imessages = argc > 1 ? atoi(argv[1]) : 200000;
    if (imessages < 1000) imessages = 1000;
    char cdir[] = "/tmp/velka-logbench.XXXXXX";
    if (mkdtemp(cdir) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    std::string sdir(cdir);
    printf("logger benchmark: %d messages per run, queue capacity %u, each line flushed\n",
           imessages, s_capacity);

    spdlog::init_thread_pool(s_capacity, 1);
    result rv[2];
    result rf[2];
    result rs[2];
    for (int p = 1; p <= 2; ++p) {
        // velka's core with a file sink, logging through call(source, i).
        auto velkarun = [&](const std::string& sname, auto call) {
            std::string spath = sdir + "/" + sname + "-" + std::to_string(p) + ".log";
            velka::logger::core c(s_capacity);
            c.add_sink(velka::logger::FILE_SINK, spath);
            velka::logger::source src(&c, velka::logger::everylevel);
            return measure([&src, call](int i) { call(&src, i); }, spath, p, imessages);
        };
        rv[p - 1] = velkarun("velka", [](velka::logger::source* psrc, int i) {
            velka::logger::LOG(psrc, "bench.cpp", "bench::run", "message " + std::to_string(i));
        });
        rf[p - 1] = velkarun("velkaf", [](velka::logger::source* psrc, int i) {
            velka::logger::LOGF(psrc, "bench.cpp", "bench::run", "message %d", i);
        });
        std::string sspd = sdir + "/spdlog-" + std::to_string(p) + ".log";
        {
            auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(sspd, true);
            auto logger = std::make_shared<spdlog::async_logger>(
                "bench" + std::to_string(p), sink, spdlog::thread_pool(),
                spdlog::async_overflow_policy::block);
            // About the same line: pid, thread id, time with microseconds, level, text.
            logger->set_pattern("%P %t   %Y-%m-%d %H:%M:%S.%f  %l %v");
            logger->flush_on(spdlog::level::trace);
            rs[p - 1] = measure(
                [&logger](int i) { logger->info("bench.cpp::bench::run( )  message {}", i); }, sspd,
                p, imessages);
        }
    }
    double dargument = argumentcost();
    double dplain = plainloop(sdir + "/plain.log", imessages);
    double dstopidle = stoplatency(sdir + "/stop.log", 0);
    double dstopbusy = stoplatency(sdir + "/stop.log", 1000);

    printf("\n%-34s %12s %12s %8s\n", "", "velka", "spdlog", "ratio");
    for (int p = 1; p <= 2; ++p) {
        printf("producer cost, %d producer%s (ns)  %12.0f %12.0f %8.2f\n", p, p == 1 ? " " : "s",
               rv[p - 1].dnspercall, rs[p - 1].dnspercall,
               rv[p - 1].dnspercall / rs[p - 1].dnspercall);
    }
    printf("  of which the caller builds the message string (ns) %5.0f\n", dargument);
    for (int p = 1; p <= 2; ++p) {
        printf("producer cost, LOGF, %d producer%s     %12.0f %12.0f %8.2f\n", p,
               p == 1 ? " " : "s", rf[p - 1].dnspercall, rs[p - 1].dnspercall,
               rf[p - 1].dnspercall / rs[p - 1].dnspercall);
    }
    for (int p = 1; p <= 2; ++p) {
        printf("throughput, %d producer%s (msg/s)   %12.0f %12.0f %8.2f\n", p, p == 1 ? " " : "s",
               rv[p - 1].dthroughput, rs[p - 1].dthroughput,
               rv[p - 1].dthroughput / rs[p - 1].dthroughput);
    }
    printf("ceiling, snprintf + write() per line: %.0f lines/s\n", dplain);
    printf("ratio to the ceiling: throughput, 1 producer %.2f, 2 producers %.2f\n",
           rv[0].dthroughput / dplain, rv[1].dthroughput / dplain);
    printf("  with LOGF (formatted by the dispatch thread): 1 producer %.2f, 2 producers %.2f\n",
           rf[0].dthroughput / dplain, rf[1].dthroughput / dplain);
    printf("(producer cost: lower is better, ratio velka/spdlog; throughput: higher is better)\n");
    printf("\nstop latency, ~core after the last line is in the file (median of 21 cores):\n");
    printf("  idle core %.3f ms, after 1000 lines %.3f ms (goal: under 5 ms)\n", dstopidle,
           dstopbusy);

    for (const char* sname : {"velka-1.log", "velka-2.log", "velkaf-1.log", "velkaf-2.log",
                              "spdlog-1.log", "spdlog-2.log", "plain.log", "stop.log"})
        unlink((sdir + "/" + sname).c_str());
    rmdir(sdir.c_str());
    return 0;
}
