// main() of root and lab test binaries: when run as root, the whole process moves into a
// private mount namespace and a new network namespace before any test starts, so mounts,
// bound fixtures and interfaces made by the tests never reach the host and vanish with the
// process. Without root the tests skip themselves.
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "velka_test.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (velka_test::is_root() && !velka_test::enter_private_namespaces(true)) {
        fprintf(stderr, "cannot enter private namespaces: %s\n", strerror(errno));
        return 1;
    }
    return RUN_ALL_TESTS();
}
