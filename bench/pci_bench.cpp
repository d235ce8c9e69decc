// PCI enumeration and driver matching against the kernel's modules.alias, with `lspci -k`
// (run directly, output to /dev/null) timed in the same run as the reference.
//
//   pci_bench [-r rounds] [-t table]      (needs root; default table: the running kernel's
//                                          modules.alias, else the newest installed one)
//
// 1. This host's functions: the whole pci_cfg construction (scan, configuration reads,
//    matching, logging to a file sink on /dev/null), the scan alone (a table that does not
//    exist) and lspci -k; medians of the rounds and the ratios.
// 2. The table scan per line: the library's lean line parser against a literal stream parse
//    (getline, word extraction, tokenising, number extraction), both over the whole table.
// 3. Cost growth: crafted trees of 8 to 256 functions that no alias fits (every function
//    searches the whole table), on a tmpfs bound over /sys/bus/pci/devices in a private mount
//    namespace of this process: total time and time per function.
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include <velka/logger>
#include <velka/pci>
#include <velka/utilities>

#include "internal/pci.h"

#include "benchsupport.h"

extern char** environ;

namespace {

using benchsupport::median;
using benchsupport::now;

double best(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}
using velka::utilities::utilities;

bool acceptall(velka::logger::log_level) {
    return true;
}

std::string defaulttable() {
    struct utsname u;
    uname(&u);
    std::string srun = std::string("/lib/modules/") + u.release + "/modules.alias";
    if (access(srun.c_str(), R_OK) == 0) return srun;
    std::list<std::string> l;
    utilities::popen("ls -d /lib/modules/*/modules.alias 2>/dev/null | sort -V | tail -n 1", l, 0);
    return l.empty() ? "" : l.back();
}

// Seconds for one run of lspci -k with its output discarded; negative when it fails.
double timelspci() {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    char sarg0[] = "lspci", sarg1[] = "-k";
    char* argv[] = {sarg0, sarg1, nullptr};
    double t0 = now();
    pid_t pid;
    int ierr = posix_spawnp(&pid, "lspci", &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (ierr != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    double t = now() - t0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? t : -1;
}

double timecfg(const std::string& stable, velka::logger::source* psrc, size_t* pucount) {
    double t0 = now();
    velka::pci::pci_cfg cfg(stable, velka::pci::alias_engine, psrc);
    double t = now() - t0;
    if (pucount != nullptr) {
        *pucount = 0;
        cfg.for_each_pci([](velka::pci::pci&, void* arg) { ++*static_cast<size_t*>(arg); },
                         pucount);
    }
    return t;
}

// The table read as a literal line-by-line stream parse would: words by extraction, the
// pattern tokenised into a list, the numbers by stream extraction. Returns the pci lines.
size_t literalparse(const std::string& stable) {
    std::ifstream in(stable.c_str());
    std::string sline;
    size_t upci = 0;
    while (std::getline(in, sline)) {
        if (!sline.empty() && sline[0] == '#') continue;
        std::istringstream iss(sline);
        std::string skw, spattern, smodule;
        iss >> skw >> spattern >> smodule;
        if (spattern.compare(0, 4, "pci:") != 0) continue;
        std::list<std::string> ltokens;
        std::vector<char> vpattern(spattern.begin(), spattern.end());
        vpattern.push_back('\0');
        char sdelims[] = ":bcdipsv";
        utilities::tokenize(vpattern.data(), sdelims, ltokens);
        if (ltokens.size() != 7) continue;
        unsigned int avalues[7];
        int i = 0;
        for (const auto& s : ltokens) {
            std::istringstream num(s);
            avalues[i] = 0;
            if (s == "*")
                avalues[i] = 0xFFFFFFFF;
            else
                num >> std::hex >> avalues[i];
            ++i;
        }
        ++upci;
    }
    return upci;
}

size_t leanparse(const std::string& stable) {
    std::ifstream in(stable.c_str(), std::ios::binary);
    std::string sbuf;
    sbuf.resize(static_cast<size_t>(utilities::filesize(stable)));
    in.read(&sbuf[0], static_cast<std::streamsize>(sbuf.size()));
    sbuf.resize(static_cast<size_t>(in.gcount()));
    velka::pci::pci pattern(nullptr);
    std::string spattern, smodule;
    size_t upci = 0;
    const char* p = sbuf.data();
    const char* pend = p + sbuf.size();
    while (p < pend) {
        const char* pnl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(pend - p)));
        const char* pe = pnl == nullptr ? pend : pnl;
        if (velka::pci::parse_aliasline(p, static_cast<size_t>(pe - p), pattern, spattern,
                                        smodule) == 0)
            ++upci;
        p = pnl == nullptr ? pend : pnl + 1;
    }
    return upci;
}

// A crafted tree of uicount functions of an unknown vendor, in sdir.
void maketree(const std::string& sdir, unsigned int uicount) {
    unsigned char acfg[256];
    memset(acfg, 0, sizeof(acfg));
    acfg[0] = 0xCD;
    acfg[1] = 0xAB;  // vendor 0xABCD: in no table
    acfg[2] = 0x34;
    acfg[3] = 0x12;
    acfg[0x0B] = 0xFF;  // class ff0000
    for (unsigned int i = 0; i < uicount; ++i) {
        char sname[32];
        snprintf(sname, sizeof(sname), "0000:%02x:%02x.%x", i / 32, i % 32, 0);
        std::string sfunc = sdir + "/" + sname;
        mkdir(sfunc.c_str(), 0755);
        FILE* f = fopen((sfunc + "/config").c_str(), "wb");
        if (f == nullptr) continue;
        fwrite(acfg, 1, sizeof(acfg), f);
        fclose(f);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int irounds = 15;
    std::string stable;
    for (int i = 1; i < argc; ++i) {
        std::string sarg = argv[i];
        if (sarg == "-r" && i + 1 < argc) {
            irounds = std::max(1, atoi(argv[++i]));
        } else if (sarg == "-t" && i + 1 < argc) {
            stable = argv[++i];
        } else {
            fprintf(stderr, "usage: %s [-r rounds] [-t modules.alias]\n", argv[0]);
            return 2;
        }
    }
    if (geteuid() != 0) {
        fprintf(stderr, "pci_bench: needs root (configuration space and a private mount)\n");
        return 1;
    }
    if (stable.empty()) stable = defaulttable();
    if (stable.empty()) {
        fprintf(stderr, "pci_bench: no modules.alias found; give one with -t\n");
        return 1;
    }
    velka::logger::core core(4096);
    core.add_sink(velka::logger::FILE_SINK, "/dev/null");
    velka::logger::source src(&core, acceptall);

    printf("pci: table %s, %u lines, %d rounds (median)\n", stable.c_str(),
           utilities::numlinesinfile(stable), irounds);
    printf("load before: %s\n", utilities::read("/proc/loadavg").c_str());

    // 1. This host.
    std::vector<double> vcfg, vscan, vlspci;
    size_t ufunctions = 0;
    timecfg(stable, &src, nullptr);  // warm the page cache
    for (int r = 0; r < irounds; ++r) {
        vcfg.push_back(timecfg(stable, &src, &ufunctions));
        vscan.push_back(timecfg("/nonexistent/modules.alias", nullptr, nullptr));
        double d = timelspci();
        if (d < 0) {
            fprintf(stderr, "pci_bench: lspci -k failed\n");
            return 1;
        }
        vlspci.push_back(d);
    }
    double dcfg = median(vcfg), dscan = median(vscan), dlspci = median(vlspci);
    double dcfgbest = best(vcfg), dscanbest = best(vscan), dlspcibest = best(vlspci);
    printf("\nthis host: %zu functions\n", ufunctions);
    printf("  %-44s %9.3f ms\n", "lspci -k", dlspci * 1e3);
    printf("  %-44s %9.3f ms  ratio %.2f\n", "pci_cfg: scan, match, log", dcfg * 1e3,
           dcfg / dlspci);
    printf("  %-44s %9.3f ms  ratio %.2f\n", "pci_cfg: scan and configuration reads only",
           dscan * 1e3, dscan / dlspci);
    printf("  %-44s %9.3f ms  ratio %.2f\n", "difference: table load and matching",
           (dcfg - dscan) * 1e3, (dcfg - dscan) / dlspci);
    printf(
        "  best of the rounds: lspci -k %.3f ms, pci_cfg %.3f ms (ratio %.2f), scan only %.3f ms "
        "(ratio %.2f)\n",
        dlspcibest * 1e3, dcfgbest * 1e3, dcfgbest / dlspcibest, dscanbest * 1e3,
        dscanbest / dlspcibest);

    // 2. Per table line.
    unsigned int uilines = utilities::numlinesinfile(stable);
    std::vector<double> vlean, vliteral;
    size_t ulean = 0, uliteral = 0;
    for (int r = 0; r < irounds; ++r) {
        double t0 = now();
        ulean = leanparse(stable);
        double t1 = now();
        uliteral = literalparse(stable);
        double t2 = now();
        vlean.push_back(t1 - t0);
        vliteral.push_back(t2 - t1);
    }
    printf("\ntable read and parsed once (%zu pci lines; literal parse found %zu)\n", ulean,
           uliteral);
    printf("  %-44s %9.1f ns/line\n", "lean line parser (library)", median(vlean) * 1e9 / uilines);
    printf("  %-44s %9.1f ns/line  ratio %.2f\n", "literal stream parse",
           median(vliteral) * 1e9 / uilines, median(vliteral) / median(vlean));

    // 3. Cost growth.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        fprintf(stderr, "pci_bench: private mount namespace: %s\n", strerror(errno));
        return 1;
    }
    char stmp[] = "/tmp/pci_bench.XXXXXX";
    if (mkdtemp(stmp) == nullptr) return 1;
    printf("\ncost growth: functions without a driver (whole table searched per function)\n");
    printf("  %9s %12s %16s %22s %12s %16s\n", "functions", "total ms", "per function us",
           "marginal us/function", "best ms", "best us/function");
    double dprev = 0;
    unsigned int uiprev = 0;
    for (unsigned int uicount : {8u, 16u, 32u, 64u, 128u, 256u}) {
        std::string sdir = std::string(stmp) + "/t" + std::to_string(uicount);
        mkdir(sdir.c_str(), 0755);
        if (mount("pci_bench", sdir.c_str(), "tmpfs", 0, "mode=0755") != 0) return 1;
        maketree(sdir, uicount);
        if (mount(sdir.c_str(), "/sys/bus/pci/devices", nullptr, MS_BIND, nullptr) != 0) {
            fprintf(stderr, "pci_bench: bind: %s\n", strerror(errno));
            return 1;
        }
        std::vector<double> v;
        size_t ucount = 0;
        for (int r = 0; r < irounds; ++r) v.push_back(timecfg(stable, &src, &ucount));
        double d = median(v), dbest = best(v);
        printf("  %9zu %12.3f %16.1f", ucount, d * 1e3, d * 1e6 / uicount);
        if (uiprev != 0)
            printf(" %22.1f", (d - dprev) * 1e6 / (uicount - uiprev));
        else
            printf(" %22s", "-");
        printf(" %12.3f %16.1f\n", dbest * 1e3, dbest * 1e6 / uicount);
        dprev = d;
        uiprev = uicount;
        umount2("/sys/bus/pci/devices", MNT_DETACH);
        umount2(sdir.c_str(), MNT_DETACH);
        rmdir(sdir.c_str());
    }
    rmdir(stmp);
    printf("load after: %s\n", utilities::read("/proc/loadavg").c_str());
    return 0;
}
