// --version on the command-line programs: "<program> <version>" on stdout,
// exit status 0, whatever else the program requires (a subcommand, a board).
#include <gtest/gtest.h>

#include <string>

#include "ProgramRun.h"

namespace klink {
namespace {

TEST(Version, EachProgramPrintsItsNameAndTheProjectVersion) {
    struct Case {
        const char* name;
        const char* path;
    };
    for (const Case& c : {Case{"klinkplay", KLINKPLAY_PATH}, Case{"klinksim", KLINKSIM_PATH}}) {
        SCOPED_TRACE(c.name);
        const test::ProgramRun run = test::RunProgram(std::string("\"") + c.path + "\" --version");
        EXPECT_EQ(run.status, 0);
        // KLINK_PROJECT_VERSION: the version in the top CMakeLists.txt.
        EXPECT_EQ(run.output, std::string(c.name) + " " + KLINK_PROJECT_VERSION + "\n");
    }
}

}  // namespace
}  // namespace klink
