// smart: the SMART health of one disk through smartctl: the overall verdict and the
// attributes, the failing ones marked. Needs root and smartctl; logs to LOGFILE.
//
//   smart DEVICE LOGFILE
#include <cstdio>
#include <string>

#include <velka/logger>
#include <velka/smartctl>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: smart DEVICE LOGFILE\n");
        return 2;
    }
    velka::logger::core logcore(1024);
    logcore.add_sink(velka::logger::FILE_SINK, argv[2]);
    velka::logger::source logsrc(&logcore, velka::logger::everylevel);

    velka::smartctl::smartctl smart(argv[1], &logsrc);
    if (smart.extractoverallhealth() != 0 || smart.extractparams() != 0) {
        fprintf(stderr, "smart: smartctl could not read %s (see %s)\n", argv[1], argv[2]);
        return 1;
    }
    printf("%s: %s\n", argv[1], smart.getoverallhealth() ? "PASSED" : "not passed");

    // Every attribute through a lambda, the failing ones again by value.
    smart.for_each_attr([](velka::smartctl::param& attr) {
        printf("%3u %-28s %3u %3u %3u %llu%s\n", attr.get_id(), attr.get_attrname().c_str(),
               attr.get_value(), attr.get_worst(), attr.get_threshold(), attr.get_rawval(),
               attr.is_healthy() ? "" : "  FAILING");
    });
    return smart.getfaultyattrs().empty() ? 0 : 1;
}
