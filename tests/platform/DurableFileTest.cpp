#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "platform/DurableFile.h"
#include "platform/Process.h"
#include "platform/SystemError.h"

namespace {

namespace fs = std::filesystem;
using namespace klink::platform;

// A fresh folder in the temp folder, removed with everything in it.
class DurableFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("klink_durable_" + std::to_string(CurrentProcessId()) + "_" + test->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

    fs::path dir_;
};

TEST_F(DurableFileTest, WriteCreatesOrTruncatesAndKeepsEveryByte) {
    const fs::path file = dir_ / "session.json";
    // Line breaks and a NUL: the file is written as bytes, never as text.
    const std::string first = std::string("{\"a\":1}\r\n\n", 10) + std::string(1, '\0') + "end";
    WriteFileDurably(file, Bytes(first));
    EXPECT_EQ(Read(file), first);

    WriteFileDurably(file, Bytes("{}"));
    EXPECT_EQ(Read(file), "{}") << "a shorter write leaves nothing of the old content";

    WriteFileDurably(file, {});
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), 0u);
}

TEST_F(DurableFileTest, ReplaceMovesTheNewFileOverTheOldOne) {
    const fs::path target = dir_ / "session.json";
    const fs::path temporary = dir_ / "session.json.tmp";
    WriteFileDurably(target, Bytes("old"));
    WriteFileDurably(temporary, Bytes("new"));

    ReplaceFileDurably(temporary, target);
    EXPECT_EQ(Read(target), "new");
    EXPECT_FALSE(fs::exists(temporary));

    // Into a name that does not exist yet, too.
    const fs::path fresh = dir_ / "fresh.json";
    WriteFileDurably(temporary, Bytes("first"));
    ReplaceFileDurably(temporary, fresh);
    EXPECT_EQ(Read(fresh), "first");
}

TEST_F(DurableFileTest, FailedReplaceLeavesTheTargetUnchanged) {
    const fs::path target = dir_ / "session.json";
    WriteFileDurably(target, Bytes("old"));
    try {
        ReplaceFileDurably(dir_ / "missing.tmp", target);
        FAIL() << "moving a file that does not exist";
    } catch (const klink::OSError& e) {
        EXPECT_NE(e.Code(), 0);
        EXPECT_EQ(std::string(e.what()), SystemErrorText(e.Code()));
    }
    EXPECT_EQ(Read(target), "old");
}

TEST_F(DurableFileTest, WriteIntoAMissingFolderFailsWithTheSystemText) {
    try {
        WriteFileDurably(dir_ / "no-such-folder" / "session.json", Bytes("x"));
        FAIL() << "a folder that does not exist";
    } catch (const klink::OSError& e) {
        EXPECT_EQ(std::string(e.what()), SystemErrorText(e.Code()));
    }
}

}  // namespace
