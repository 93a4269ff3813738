// The kept login on Windows, under Wine: real files in a temporary folder, the text
// protected with the prefix's data protection keys.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "file_text.h"
#include "platform/backends.h"
#include "platform/win32/network_win32.h"
#include "temp_dir.h"

namespace strikewell {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

constexpr const char* kLogin =
    "email ann@example.org\nserver https://ringingroom.com\ntower 123456789\n"
    "token 3f5c0d6e2b8a41f79c0e\n";

class LoginStoreTest : public ::testing::Test {
 protected:
  std::string Kept() {
    std::string why;
    const std::optional<std::string> text = store->Read(why);
    EXPECT_EQ(why, "");
    return text.value_or("(none)");
  }

  TempDir folder{"login"};
  // The file's folder does not exist yet: the first write makes it.
  const std::filesystem::path file = folder.path() / "strikewell" / "ringingroom";
  std::unique_ptr<LoginStore> store = MakeWin32LoginStore(file.wstring());
  std::string error;
};

TEST_F(LoginStoreTest, KeepsTheTextProtectedAndGivesItBack) {
  ASSERT_TRUE(store->Write(kLogin, error)) << error;
  EXPECT_EQ(Kept(), kLogin);
  const std::string bytes = ReadBytes(file.string());
  EXPECT_FALSE(bytes.empty());
  EXPECT_EQ(bytes.find("3f5c0d6e2b8a41f79c0e"), std::string::npos);
  EXPECT_EQ(bytes.find("ann@example.org"), std::string::npos);
}

TEST_F(LoginStoreTest, WriteReplacesTheKeptTextAndLeavesNothingBeside) {
  ASSERT_TRUE(store->Write(kLogin, error)) << error;
  ASSERT_TRUE(store->Write("token renewed\n", error)) << error;
  EXPECT_EQ(Kept(), "token renewed\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(LoginStoreTest, NothingKeptReadsAsNoneWithoutAnError) {
  error = "left over";
  EXPECT_EQ(store->Read(error), std::nullopt);
  EXPECT_EQ(error, "");
  EXPECT_TRUE(store->Remove(error));
}

TEST_F(LoginStoreTest, RemoveForgetsTheLogin) {
  ASSERT_TRUE(store->Write(kLogin, error)) << error;
  EXPECT_TRUE(store->Remove(error)) << error;
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(store->Read(error), std::nullopt);
  EXPECT_EQ(error, "");
}

// A file that CryptProtectData did not make (copied from another account, say, or
// damaged) is no login, and the ringer is told where it is.
TEST_F(LoginStoreTest, AFileItCannotUnprotectIsAnError) {
  std::filesystem::create_directories(file.parent_path());
  WriteBytes(file.string(), "token in clear\n");
  EXPECT_EQ(store->Read(error), std::nullopt);
  EXPECT_TRUE(error.starts_with("cannot unprotect " + file.string())) << error;
}

TEST_F(LoginStoreTest, TheRealStoreIsUnderAppData) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"APPDATA", folder.path().wstring().c_str()));
  const std::unique_ptr<LoginStore> real = MakeLoginStore();
  EXPECT_EQ(real->Where(), folder.path().string() + "\\strikewell\\ringingroom");
  ASSERT_TRUE(real->Write(kLogin, error)) << error;
  EXPECT_EQ(Kept(), kLogin);
}

}  // namespace
}  // namespace strikewell
