// The kept login on Linux, in real temporary folders given as XDG_CONFIG_HOME or
// HOME: where it goes, who may read it, and that a new one replaces the old in one
// step.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_text.h"
#include "platform/backends.h"
#include "temp_dir.h"

namespace strikewell {
namespace {

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

std::vector<std::string> Names(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// Each test chooses where the configuration lives; the environment is put back after.
class LoginStorePosixTest : public ::testing::Test {
 protected:
  LoginStorePosixTest() {
    for (const char* name : {"XDG_CONFIG_HOME", "HOME"}) {
      const char* value = getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
  }
  ~LoginStorePosixTest() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

  testing::TempDir home_{"login"};
  std::string config_ = home_.File("config");
  std::string folder_ = config_ + "/strikewell";
  std::string file_ = folder_ + "/ringingroom";
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(LoginStorePosixTest, KeepsTheLoginInTheXdgConfigFolder) {
  const auto store = MakeLoginStore();
  EXPECT_EQ(store->Where(), file_);
  std::string error;
  ASSERT_TRUE(store->Write("token abc\nemail ann@example.org\n", error)) << error;
  EXPECT_EQ(error, "");
  EXPECT_EQ(testing::ReadBytes(file_), "token abc\nemail ann@example.org\n");
}

TEST_F(LoginStorePosixTest, DefaultsToDotConfigInTheHomeFolder) {
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", home_.path().c_str(), 1);
  EXPECT_EQ(MakeLoginStore()->Where(), home_.File(".config/strikewell/ringingroom"));
}

TEST_F(LoginStorePosixTest, IgnoresARelativeXdgConfigFolder) {
  setenv("XDG_CONFIG_HOME", "relative/config", 1);
  setenv("HOME", home_.path().c_str(), 1);
  EXPECT_EQ(MakeLoginStore()->Where(), home_.File(".config/strikewell/ringingroom"));
}

TEST_F(LoginStorePosixTest, FolderIsPrivateAndFileReadableByTheUserOnly) {
  // Even with a umask that would give everything to everyone.
  const mode_t old_umask = umask(0);
  std::string error;
  const bool written = MakeLoginStore()->Write("token abc\n", error);
  umask(old_umask);
  ASSERT_TRUE(written) << error;
  EXPECT_EQ(ModeOf(config_), 0700u) << "a configuration folder it makes is private too";
  EXPECT_EQ(ModeOf(folder_), 0700u);
  EXPECT_EQ(ModeOf(file_), 0600u);
}

TEST_F(LoginStorePosixTest, NarrowsAWiderFolderItFinds) {
  std::filesystem::create_directories(folder_);
  chmod(folder_.c_str(), 0755);
  std::string error;
  ASSERT_TRUE(MakeLoginStore()->Write("token abc\n", error)) << error;
  EXPECT_EQ(ModeOf(folder_), 0700u);
}

TEST_F(LoginStorePosixTest, ReadsBackWhatWasWrittenExactly) {
  const auto store = MakeLoginStore();
  const std::string text = "token 0123\nemail ann@example.org\nserver https://ringingroom.com\n";
  std::string error;
  ASSERT_TRUE(store->Write(text, error)) << error;
  EXPECT_EQ(MakeLoginStore()->Read(error), text);
  EXPECT_EQ(error, "");
}

TEST_F(LoginStorePosixTest, NothingKeptReadsAsNoneWithoutAnError) {
  std::string error = "left from before";
  EXPECT_EQ(MakeLoginStore()->Read(error), std::nullopt);
  EXPECT_EQ(error, "");
}

TEST_F(LoginStorePosixTest, ReplacesTheOldLoginInOneStep) {
  const auto store = MakeLoginStore();
  std::string error;
  ASSERT_TRUE(store->Write("token old\n", error)) << error;
  // A reader that opened the old file meanwhile still reads the old login whole: the
  // new one is a new file renamed over it, never the old file rewritten in place.
  const int old_reader = open(file_.c_str(), O_RDONLY);
  ASSERT_GE(old_reader, 0);
  ASSERT_TRUE(store->Write("token new, and longer\n", error)) << error;
  char seen[64] = {};
  EXPECT_EQ(pread(old_reader, seen, sizeof seen - 1, 0), 10);
  EXPECT_EQ(std::string(seen), "token old\n");
  close(old_reader);
  EXPECT_EQ(testing::ReadBytes(file_), "token new, and longer\n");
  EXPECT_EQ(ModeOf(file_), 0600u);
  EXPECT_EQ(Names(folder_), std::vector<std::string>{"ringingroom"}) << "no file left beside it";
}

TEST_F(LoginStorePosixTest, RemoveLeavesNothingKept) {
  const auto store = MakeLoginStore();
  std::string error;
  ASSERT_TRUE(store->Write("token abc\n", error)) << error;
  EXPECT_TRUE(store->Remove(error)) << error;
  EXPECT_FALSE(std::filesystem::exists(file_));
  EXPECT_EQ(store->Read(error), std::nullopt);
  EXPECT_TRUE(store->Remove(error)) << "none kept is what was asked for";
  EXPECT_EQ(error, "");
}

TEST_F(LoginStorePosixTest, AFailedWriteSaysWhereAndWhy) {
  // The configuration folder's place is taken by a file.
  std::ofstream(config_) << "not a folder";
  std::string error;
  EXPECT_FALSE(MakeLoginStore()->Write("token abc\n", error));
  EXPECT_EQ(error, "cannot use the folder " + config_ + ": Not a directory");
}

TEST_F(LoginStorePosixTest, AFailedReplaceLeavesNothingBesideIt) {
  std::filesystem::create_directories(file_ + "/in-the-way");  // a folder where the file goes
  std::string error;
  EXPECT_FALSE(MakeLoginStore()->Write("token abc\n", error));
  EXPECT_EQ(error, "cannot replace " + file_ + ": Is a directory");
  EXPECT_EQ(Names(folder_), std::vector<std::string>{"ringingroom"});
}

TEST_F(LoginStorePosixTest, AFileFarLargerThanALoginIsNotRead) {
  std::filesystem::create_directories(folder_);
  testing::WriteBytes(file_, std::string(1024 * 1024, 'x'));
  std::string error;
  EXPECT_EQ(MakeLoginStore()->Read(error), std::nullopt);
  EXPECT_EQ(error, "cannot read " + file_ + ": File too large");
}

TEST_F(LoginStorePosixTest, AFailedReadSaysWhereAndWhy) {
  std::filesystem::create_directories(file_);  // a folder where the file should be
  std::string error;
  EXPECT_EQ(MakeLoginStore()->Read(error), std::nullopt);
  EXPECT_EQ(error, "cannot read " + file_ + ": Is a directory");
}

}  // namespace
}  // namespace strikewell
