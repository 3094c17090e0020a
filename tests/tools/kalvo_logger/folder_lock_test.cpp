// The data-folder lock's file in the way or damaged: no crash, no write elsewhere, no false
// name. (Refusal and release are seen end to end in logger_test.cpp.)
#include "core/common/folder_lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace kalvo {
namespace {

namespace fs = std::filesystem;

class FolderLockTest : public ::testing::Test {
  protected:
    FolderLockTest() {
        dir_ = fs::path(KALVO_BUILD_DIR) / "tests" / "logger" /
               ("lock_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
    }
    ~FolderLockTest() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_;
};

TEST_F(FolderLockTest, LockFileInTheWayMakesNoLockAndNoCrash) {
    fs::create_directories(dir_ / kFolderLockFileName);  // a folder in the file's place
    FolderLock lock;
    EXPECT_EQ(lock.Take(dir_.string(), "kalvo"), FolderLock::Outcome::kUnavailable);
    EXPECT_FALSE(lock.Held());
    EXPECT_NE(lock.Why().find(kFolderLockFileName), std::string::npos) << lock.Why();

    // A link planted in the folder is not followed.
    const fs::path other = dir_ / "other";
    fs::create_directories(other);
    std::ofstream(dir_ / "target") << "keep";
    fs::create_symlink(dir_ / "target", other / kFolderLockFileName);
    EXPECT_EQ(lock.Take(other.string(), "kalvo"), FolderLock::Outcome::kUnavailable);
    std::ifstream in(dir_ / "target");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "keep");
}

TEST(FolderLockHolder, NamesWhatTheFileSays) {
    const struct {
        const char* name;
        std::string content;
        std::string holder;
    } cases[] = {
        {"plain", "kalvo-logger 1234\n", "kalvo-logger (process 1234)"},
        {"name with a space", "my kalvo 7\n", "my kalvo (process 7)"},
        {"empty, being written", "", "another program"},
        {"no pid", "kalvo-logger\n", "another program"},
        {"pid not a number", "kalvo-logger 12x\n", "another program"},
        {"control characters dropped", "kal\x1b[2Jvo 9\n", "kal[2Jvo (process 9)"},
        {"bytes beyond ASCII dropped", "k\xc3\xa4lvo 9\n", "klvo (process 9)"},
    };
    for (const auto& c : cases) EXPECT_EQ(FolderLockHolder(c.content), c.holder) << c.name;
    EXPECT_EQ(FolderLockHolder(std::string(200, 'a') + " 5").size(),
              64 + std::string(" (process 5)").size());
}

}  // namespace
}  // namespace kalvo
