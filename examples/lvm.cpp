// lvm: the volume groups of this machine and their logical volumes; with DEVICE and VG, first
// makes DEVICE a physical volume and builds the group VG on it (4 MB extents). Needs root
// and the LVM tools; logs to LOGFILE.
//
//   lvm LOGFILE [DEVICE VG]
#include <cstdio>
#include <list>
#include <string>

#include <velka/logger>
#include <velka/lvm>

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "usage: lvm LOGFILE [DEVICE VG]\n");
        return 2;
    }
    velka::logger::core logcore(1024);
    logcore.add_sink(velka::logger::FILE_SINK, argv[1]);
    velka::logger::source logsrc(&logcore, velka::logger::everylevel);

    if (argc == 4) {
        // The devices are given at construction; vgcreate makes each a physical volume.
        velka::lvm::lvm builder(std::list<std::string>{argv[2]}, &logsrc);
        if (builder.vgcreate(argv[3], 4) != 0) {
            fprintf(stderr, "lvm: cannot create %s on %s (see %s)\n", argv[3], argv[2], argv[1]);
            return 1;
        }
    }

    // The listings by value; an empty one may also be a failed query (the log says which).
    velka::lvm::lvm lvm(&logsrc);
    for (const std::string& svg : lvm.scanvg()) {
        printf("%s\n", svg.c_str());
        for (const std::string& slv : lvm.scanlv(svg)) printf("  %s\n", slv.c_str());
    }
    return 0;
}
