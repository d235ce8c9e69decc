// Copy of a 1 GiB file with the multi-threaded splice copy, against `cat src > dst` and
// `cp --reflink=never src dst` run in the same process on the same file, on each directory
// given (default: /var/tmp, on the root filesystem, and /dev/shm, a tmpfs). The source is read
// once before timing (warm cache); every run writes a new destination, and the dirty pages of
// the previous run are synced before the next one starts (not timed). The memory-copy
// bandwidth of this machine, measured in the same run, gives the floor on tmpfs.
//
//   mtcopy_bench [-r rounds] [-s size_mib] [dir...]
//
// Prints each tool's median and best time and the ratios copy/cat and copy/cp. Files are removed
// afterwards.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <velka/exception>
#include <velka/mtcopy>
#include <velka/platform>
#include <velka/utilities>

#include "benchsupport.h"

using velka::utilities::utilities;

namespace {

const unsigned int s_uiextent = 64 * 1024 * 1024;

using benchsupport::median;
using benchsupport::now;
using benchsupport::run;

// Writes ullmib MiB of bytes that differ everywhere (no tool can skip or share them).
bool makesource(const std::string& spath, unsigned long long ullmib) {
    int ifd = open(spath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (ifd < 0) return false;
    std::vector<uint64_t> buf(1024 * 1024 / sizeof(uint64_t));
    uint64_t x = 88172645463325252ull;
    for (unsigned long long m = 0; m < ullmib; ++m) {
        for (auto& w : buf) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        if (write(ifd, buf.data(), buf.size() * sizeof(uint64_t)) !=
            static_cast<ssize_t>(buf.size() * sizeof(uint64_t))) {
            close(ifd);
            return false;
        }
    }
    return close(ifd) == 0;
}

// Memory-copy bandwidth in GiB/s: the best of a few memcpy passes over 256 MiB.
double memcopybandwidth() {
    const size_t ulen = 256u * 1024 * 1024;
    std::vector<char> src(ulen, 1), dst(ulen, 0);
    double dbest = 1e9;
    for (int i = 0; i < 5; ++i) {
        double t0 = now();
        memcpy(dst.data(), src.data(), ulen);
        double dt = now() - t0;
        dbest = std::min(dbest, dt);
        src[i] = dst[ulen - 1 - i];  // keep the copies observable
    }
    return (ulen / (1024.0 * 1024 * 1024)) / dbest;
}

std::string fstype(const std::string& sdir) {
    struct statfs st;
    if (statfs(sdir.c_str(), &st) != 0) return "?";
    switch (st.f_type) {
        case 0xEF53:
            return "ext4";
        case 0x01021994:
            return "tmpfs";
        case 0x58465342:
            return "xfs";
        case 0x9123683E:
            return "btrfs";
        default:
            return "other";
    }
}

struct result {
    double dcat, dcp, dcopy;           // medians
    double dcatmin, dcpmin, dcopymin;  // best runs
};

double best(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

bool benchdir(const std::string& sdir, int irounds, unsigned long long ullmib, result& res) {
    std::string swork = sdir + "/velka-mtcopy-bench.XXXXXX";
    std::vector<char> tmpl(swork.begin(), swork.end());
    tmpl.push_back('\0');
    if (mkdtemp(tmpl.data()) == nullptr) {
        perror("mkdtemp");
        return false;
    }
    swork = tmpl.data();
    std::string ssrc = swork + "/src", sdst = swork + "/dst";
    std::string qsrc = utilities::shellquote(ssrc), qdst = utilities::shellquote(sdst);
    bool bok = makesource(ssrc, ullmib) && run("cat " + qsrc + " > /dev/null") && run("sync");
    std::vector<double> vcat, vcp, vcopy;
    for (int r = 0; bok && r < irounds; ++r) {
        for (int itool = 0; bok && itool < 3; ++itool) {
            unlink(sdst.c_str());
            bok = run("sync");
            double t0 = now();
            if (itool == 0) {
                bok = bok && run("cat " + qsrc + " > " + qdst);
                vcat.push_back(now() - t0);
            } else if (itool == 1) {
                bok = bok && run("cp --reflink=never " + qsrc + " " + qdst);
                vcp.push_back(now() - t0);
            } else {
                try {
                    velka::mtcopy::mtcopy copy(ssrc, sdst, s_uiextent, nullptr);
                    if (copy.wait() != 0) {
                        perror("copy");
                        bok = false;
                    }
                } catch (velka::exception::exception& e) {
                    fprintf(stderr, "%s\n", e().c_str());
                    bok = false;
                }
                vcopy.push_back(now() - t0);
            }
        }
    }
    run("rm -rf " + utilities::shellquote(swork));
    if (!bok) return false;
    res.dcat = median(vcat);
    res.dcp = median(vcp);
    res.dcopy = median(vcopy);
    res.dcatmin = best(vcat);
    res.dcpmin = best(vcp);
    res.dcopymin = best(vcopy);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int irounds = 5;
    unsigned long long ullmib = 1024;
    std::vector<std::string> vdirs;
    for (int i = 1; i < argc; ++i) {
        std::string sarg = argv[i];
        if (sarg == "-r" && i + 1 < argc)
            irounds = std::max(1, atoi(argv[++i]));
        else if (sarg == "-s" && i + 1 < argc)
            ullmib = std::max(1, atoi(argv[++i]));
        else
            vdirs.push_back(sarg);
    }
    if (vdirs.empty()) vdirs = {"/var/tmp", "/dev/shm"};

    unsigned int uicores = velka::platform::platform::get_numcpucores();
    double dmem = memcopybandwidth();
    printf("mtcopy: %llu MiB file, %d rounds (median), %u workers, extent %u MiB\n", ullmib,
           irounds, uicores == 0 ? 1 : uicores, s_uiextent / (1024 * 1024));
    printf("load before: %s\n", utilities::read("/proc/loadavg").c_str());
    printf("memcpy bandwidth: %.2f GiB/s (%.3f s per GiB)\n", dmem, 1.0 / dmem);
    printf("%-10s %-6s %8s %8s %8s %9s %9s\n", "dir", "fs", "cat s", "cp s", "copy s", "copy/cat",
           "copy/cp");
    int irc = 0;
    for (const auto& sdir : vdirs) {
        result res;
        if (!benchdir(sdir, irounds, ullmib, res)) {
            fprintf(stderr, "%s: benchmark failed\n", sdir.c_str());
            irc = 1;
            continue;
        }
        printf("%-10s %-6s %-6s %8.3f %8.3f %8.3f %9.2f %9.2f\n", sdir.c_str(),
               fstype(sdir).c_str(), "median", res.dcat, res.dcp, res.dcopy, res.dcopy / res.dcat,
               res.dcopy / res.dcp);
        printf("%-10s %-6s %-6s %8.3f %8.3f %8.3f %9.2f %9.2f\n", "", "", "best", res.dcatmin,
               res.dcpmin, res.dcopymin, res.dcopymin / res.dcatmin, res.dcopymin / res.dcpmin);
    }
    printf("load after: %s\n", utilities::read("/proc/loadavg").c_str());
    return irc;
}
