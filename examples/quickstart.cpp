// quickstart: a complete small program that links velka. It sets up logging (one core with a
// file sink, one source with the library's filter that accepts every level), asks the
// platform how many processor cores it has, and creates a directory tree and a symbolic link
// through velka::fs, every step logged to DIR/quickstart.log.
//
//   quickstart DIR
//
// Build it against an installed velka with
//   c++ -std=c++17 quickstart.cpp $(pkg-config --cflags --libs velka) -o quickstart
// or with CMake through examples/CMakeLists.txt (find_package(velka)).
#include <cstdio>
#include <cstring>
#include <string>

#include <velka/fs>
#include <velka/logger>
#include <velka/platform>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: quickstart DIR\n");
        return 2;
    }
    const std::string sdir = argv[1];
    const std::string slog = sdir + "/quickstart.log";

    // One logging core per program, with room for 1024 waiting lines. It must outlive every
    // source and every manager that logs through it; destroying it writes what is queued.
    velka::logger::core logcore(1024);
    logcore.add_sink(velka::logger::FILE_SINK, slog);
    if (logcore.filesinkfailed()) {
        fprintf(stderr, "quickstart: cannot open %s: %s\n", slog.c_str(),
                strerror(logcore.filesinkerrno()));
        return 1;
    }
    velka::logger::source logsrc(&logcore, velka::logger::everylevel);
    velka::logger::LOG(&logsrc, velka::logger::lvl_info, "quickstart starts");

    // A platform query: static functions, nothing to construct.
    unsigned int uicores = velka::platform::platform::get_numcpucores();
    velka::logger::LOG(&logsrc, velka::logger::lvl_info,
                       "this host has " + std::to_string(uicores) + " processor cores");

    // A manager logs through the source it is given (nullptr would make it silent).
    velka::fs::fs fs(&logsrc);
    if (fs.mkdir_r(sdir + "/data/archive", 0755) != 0 ||
        fs.symlink(sdir + "/data/archive", sdir + "/current") != 0) {
        fprintf(stderr, "quickstart: cannot prepare %s (see %s)\n", sdir.c_str(), slog.c_str());
        return 1;
    }

    printf("%u processor cores; %s/data/archive is ready, %s/current points to it\n", uicores,
           sdir.c_str(), sdir.c_str());
    velka::logger::LOG(&logsrc, velka::logger::lvl_info, "quickstart ends");
    return uicores > 0 ? 0 : 1;
}
