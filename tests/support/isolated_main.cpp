// Main of the process tests: moves the test process into its own namespaces
// before anything else runs. A test binary that cannot get its isolation
// fails; it never runs its tests unisolated.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "testkit/isolation.h"

int main(int argc, char **argv) {
    bool listing = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--gtest_list_tests") == 0) listing = true;
    }
    if (!listing) {
        std::string error = EnterIsolation();
        if (!error.empty()) {
            fprintf(stderr, "Cannot isolate the test process: %s\n", error.c_str());
            return 1;
        }
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
