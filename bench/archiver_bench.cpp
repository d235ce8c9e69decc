// Creation of four tar.gz archives from four trees of about 150 MB each: the archiver's worker
// pool against the same four tar commands run one after another (the creation worker run on
// the calling thread over the same list, so the command lines are identical). Both run in the
// same process on the same trees, whose files stay in the page cache.
//
//   archiver_bench [-r rounds] [-m mb_per_tree] [dir]      (default: 1 round, 150, /var/tmp)
//
// Prints both times (median over the rounds) and the speed-up sequential/parallel, with the
// core count and the load average, since other work on the machine takes cores from both.
// Files are removed afterwards.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <velka/archiver>
#include <velka/mutex>
#include <velka/platform>
#include <velka/utilities>

#include "internal/archiver.h"

#include "benchsupport.h"

using velka::utilities::utilities;

namespace {

using benchsupport::median;
using benchsupport::now;
using benchsupport::run;

// A tree of 1 MiB files of text drawn from a vocabulary: gzip compresses it about 3:1, at the
// pace it has on logs and configuration.
bool maketree(const std::string& sdir, int imb, uint64_t useed) {
    if (!run("mkdir -p " + utilities::shellquote(sdir))) return false;
    std::vector<std::string> vwords;
    uint64_t x = useed * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&x]() {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    for (int i = 0; i < 4096; ++i) {
        std::string sword;
        int ilen = 2 + static_cast<int>(next() % 9);
        for (int c = 0; c < ilen; ++c) sword += static_cast<char>('a' + next() % 26);
        vwords.push_back(sword);
    }
    std::string sbuf;
    for (int f = 0; f < imb; ++f) {
        sbuf.clear();
        while (sbuf.size() < 1024 * 1024) {
            sbuf += vwords[next() % vwords.size()];
            sbuf += (next() % 12 == 0) ? '\n' : ' ';
        }
        std::ofstream out(sdir + "/f" + std::to_string(f) + ".txt");
        out << sbuf;
        if (!out.good()) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int irounds = 1;
    int imb = 150;
    std::string sbase = "/var/tmp";
    for (int i = 1; i < argc; ++i) {
        std::string sarg = argv[i];
        if (sarg == "-r" && i + 1 < argc)
            irounds = std::max(1, atoi(argv[++i]));
        else if (sarg == "-m" && i + 1 < argc)
            imb = std::max(1, atoi(argv[++i]));
        else
            sbase = sarg;
    }
    std::string swork = sbase + "/velka-archiver-bench.XXXXXX";
    std::vector<char> tmpl(swork.begin(), swork.end());
    tmpl.push_back('\0');
    if (mkdtemp(tmpl.data()) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    swork = tmpl.data();

    bool bok = true;
    std::string slist;
    for (int t = 0; bok && t < 4; ++t) {
        std::string stree = swork + "/tree" + std::to_string(t);
        bok = maketree(stree, imb, static_cast<uint64_t>(t) + 1);
        slist += stree + " " + swork + "/out" + std::to_string(t) + ".tar.gz\n";
    }
    std::string slistfile = swork + "/list";
    {
        std::ofstream out(slistfile);
        out << slist;
    }
    std::string sclean = "rm -f " + utilities::shellquote(swork) + "/out*.tar.gz";

    std::vector<double> vseq, vpar;
    velka::archiver::archiver arch(nullptr);
    for (int r = 0; bok && r < irounds; ++r) {
        // The same four commands, one after another, on this thread.
        bok = run(sclean);
        double t0 = now();
        {
            velka::mutex::mutex lock;
            std::ifstream in(slistfile);
            velka::archiver::archivetaskdata task;
            task.m_pfilelock = &lock;
            task.pinputfile = &in;
            velka::archiver::creategzippedtar(&task);
            bok = bok && !task.m_bfailed;
        }
        vseq.push_back(now() - t0);

        bok = bok && run(sclean);
        t0 = now();
        bok = bok && arch.creategziparchive(slistfile) == 0;
        vpar.push_back(now() - t0);
    }
    run("rm -rf " + utilities::shellquote(swork));
    if (!bok) {
        fprintf(stderr, "archiver benchmark failed\n");
        return 1;
    }

    unsigned int uicores = velka::platform::platform::get_numcpucores();
    std::string sload = utilities::read("/proc/loadavg");
    double dseq = median(vseq), dpar = median(vpar);
    printf("archiver: 4 trees of %d MiB, %d rounds (median), %u cores, load %s\n", imb, irounds,
           uicores, sload.c_str());
    printf("%12s %12s %9s\n", "sequential s", "parallel s", "speed-up");
    printf("%12.2f %12.2f %9.2f\n", dseq, dpar, dseq / dpar);
    return 0;
}
