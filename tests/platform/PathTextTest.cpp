#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/CFile.h"
#include "platform/PathText.h"
#include "platform/Process.h"

namespace {

namespace fs = std::filesystem;
using namespace klink::platform;

// Japanese, an accented Latin letter and a character outside the BMP.
const std::string kName = "\xE3\x83\x87\xE3\x83\xA2\xE6\x9B\xB2 caf\xC3\xA9 \xF0\x9F\x8E\xB5.vgm";

TEST(PathText, UTF8NamesSurviveTheWayThroughAPath) {
    const fs::path path = PathFromUtf8("folder/" + kName);
    EXPECT_EQ(Utf8FromPath(path.filename()), kName);
    EXPECT_EQ(Utf8FromPath(path.parent_path()), "folder");
    EXPECT_EQ(Utf8FromPath(PathFromUtf8("")), "");
}

TEST(PathText, AFileMadeUnderAUTF8NameOpensAndListsUnderIt) {
    const fs::path dir =
        fs::temp_directory_path() / ("klink_path_text_" + std::to_string(CurrentProcessId()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path file = dir / PathFromUtf8(kName);
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(OpenCFile(file, "wb"), &std::fclose);
        ASSERT_NE(out, nullptr);
        EXPECT_GE(std::fputs("x", out.get()), 0);
    }
    int found = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        EXPECT_EQ(Utf8FromPath(entry.path().filename()), kName);
        ++found;
    }
    EXPECT_EQ(found, 1);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(OpenCFile(file, "rb"), &std::fclose);
    EXPECT_NE(in, nullptr);
    in.reset();
    fs::remove_all(dir);
}

}  // namespace
