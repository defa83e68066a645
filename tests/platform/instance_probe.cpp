// A second process for the single-copy tests: takes the lock named on its command line and
// answers through its exit status: 0 when it got the lock, 1 when another copy holds it.
#include <cstdio>

#include "platform/single_instance.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: lan2com_instance_probe NAME\n");
        return 2;
    }
    const lan2com::SingleInstance instance(argv[1]);
    return instance.acquired() ? 0 : 1;
}
