// copyarchive: copies SRC to DEST with one worker per processor core, then runs a job per
// line of the list file LIST on the archiver's pool of workers: here each line names a
// file whose size is printed (a program's own job; creategziparchive and
// extractgziparchive run tar the same way). Logs to LOGFILE.
//
//   copyarchive SRC DEST LIST LOGFILE
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include <velka/archiver>
#include <velka/exception>
#include <velka/logger>
#include <velka/mtcopy>

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: copyarchive SRC DEST LIST LOGFILE\n");
        return 2;
    }
    velka::logger::core logcore(1024);
    logcore.add_sink(velka::logger::FILE_SINK, argv[4]);
    velka::logger::source logsrc(&logcore, velka::logger::everylevel);

    // The copy starts in the constructor, which throws when it cannot; wait() joins it.
    try {
        velka::mtcopy::mtcopy copy(argv[1], argv[2], 1 << 20, &logsrc);
        if (copy.wait() != 0) {
            perror("copyarchive: copy");
            return 1;
        }
    } catch (velka::exception::exception& e) {
        fprintf(stderr, "copyarchive: %s\n", e().c_str());
        return 1;
    }

    // The job runs on several workers at once: it only reads its line.
    velka::archiver::archiver arch(&logsrc);
    int irc = arch.process(argv[3], [](const std::string& sline, unsigned int uiworker) {
        struct stat st;
        if (stat(sline.c_str(), &st) != 0) return -1;
        printf("worker %u: %s %lld bytes\n", uiworker, sline.c_str(),
               static_cast<long long>(st.st_size));
        return 0;
    });
    return irc == 0 ? 0 : 1;
}
