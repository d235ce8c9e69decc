// Small helpers shared by the benchmark programs: a clock, the median of repeated runs, and
// running a shell command with its failure reported.
#ifndef VELKA_BENCH_SUPPORT_H
#define VELKA_BENCH_SUPPORT_H

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <velka/utilities>

namespace benchsupport {

// Seconds on a monotonic clock.
inline double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs scmd through the library's command helper; prints the command and its standard error
// when it fails.
inline bool run(const std::string& scmd) {
    std::string sout, serr;
    if (velka::utilities::utilities::system(scmd, sout, serr) == 0) return true;
    fprintf(stderr, "failed: %s: %s\n", scmd.c_str(), serr.c_str());
    return false;
}

}  // namespace benchsupport

#endif
