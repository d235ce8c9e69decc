// checkstamp: exits 0 when every PATH carries a valid location stamp naming LOCATION.
//   checkstamp PATH LOCATION [PATH LOCATION...]
#include <cstdio>
#include <string>

#include <velka/mnttab>

int main(int argc, char** argv) {
    velka::mnttab::mnttab ent(nullptr);
    int irc = argc > 1 && argc % 2 == 1 ? 0 : 2;
    for (int i = 1; irc == 0 && i + 1 < argc; i += 2) {
        std::string sloc;
        if (ent.check_valid_stamp(argv[i], sloc) != 0 || sloc != argv[i + 1]) {
            fprintf(stderr, "checkstamp: %s: stamp \"%s\", want \"%s\"\n", argv[i], sloc.c_str(),
                    argv[i + 1]);
            irc = 1;
        }
    }
    return irc;
}
