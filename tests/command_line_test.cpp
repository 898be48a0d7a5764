// End-to-end tests of the command line: options, usage and directory errors.
#include <gtest/gtest.h>

#include "run_program.h"

namespace {

TEST(VersionRequest, PrintsBannerAndEmptyLine) {
    TestDirectory dir;
    for (const auto& args :
         {std::vector<std::string>{"-v"}, {"a", "b", "--version"}}) {
        const RunResult run = run_trelvik(dir, args);
        EXPECT_EQ(run.out, "trelvik 3.0, written by Halvorsk\n\n");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
        EXPECT_FALSE(run.log_exists);
    }
}

}  // namespace
