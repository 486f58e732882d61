// The core tests run with the kernel set the module would choose on this
// processor (VALDRIX_ISA forces another, as for the module); the tests that
// compare kernels with their references go through every set the processor
// runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "boolmat/kernels.hpp"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const auto isa = boolmat::use_kernels_from_environment();
    if (!isa) {
        std::fprintf(stderr, "%s\n", isa.error().message().c_str());
        return 2;
    }
    std::printf("kernel set: %s\n", std::string(boolmat::isa_name(*isa)).c_str());
    return RUN_ALL_TESTS();
}
