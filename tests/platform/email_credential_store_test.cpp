#include "platform/email_credential_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/session_bus.h"
#include "support/test_support.h"
#include "util/file.h"
#include "util/json.h"

namespace kestrova::platform {

const char* backend_name(CredentialBackend backend) {
  switch (backend) {
    case CredentialBackend::SecretService:
      return "SecretService";
    case CredentialBackend::File:
      return "File";
  }
  return "?";
}

// Names the parameter in test listings (found by argument-dependent lookup).
void PrintTo(CredentialBackend backend, std::ostream* out) { *out << backend_name(backend); }

namespace {

using testing::PrivateSessionBus;
using testing::ScopedEnvironment;
using testing::ScopedHome;
using testing::TempDir;

// A service name of its own per test, so that items left in the shared keyring by one
// test are never seen by another.
std::string fresh_service() {
  static std::atomic<int> counter{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string("com.kestrova.test.") + info->name() + "." + std::to_string(++counter);
}

void write_file(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// The private session bus with a keyring on it, or the reason there is none.
PrivateSessionBus* keyring_bus(std::string& why) {
  PrivateSessionBus* bus = PrivateSessionBus::shared(&why);
  if (!bus) return nullptr;
  if (auto failure = bus->start_keyring()) {
    why = *failure;
    return nullptr;
  }
  return bus;
}

class CredentialStoreTest : public ::testing::TestWithParam<CredentialBackend> {
 protected:
  void SetUp() override {
    if (GetParam() == CredentialBackend::SecretService) {
      std::string why;
      bus_ = keyring_bus(why);
      if (!bus_) GTEST_SKIP() << "Secret Service cases skipped, no private keyring: " << why;
      bus_env_.emplace("DBUS_SESSION_BUS_ADDRESS", bus_->address());
    }
    store_.emplace(fresh_service(), GetParam());
  }

  // How many keyring items carry these attributes (asked over D-Bus, not through libsecret).
  int keyring_items(const std::string& key) {
    const std::string query = "{'service': '" + store_->service() + "', 'account': '" + key + "'}";
    auto result = testing::run_process(*testing::find_program("gdbus"),
                                       {"call", "--session", "--dest", "org.freedesktop.secrets",
                                        "--object-path", "/org/freedesktop/secrets", "--method",
                                        "org.freedesktop.Secret.Service.SearchItems", query},
                                       "", {"DBUS_SESSION_BUS_ADDRESS=" + bus_->address()});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    int count = 0;
    for (size_t at = result.out.find("/collection/"); at != std::string::npos;
         at = result.out.find("/collection/", at + 1))
      ++count;
    return count;
  }

  TempDir dir_;
  ScopedHome home_{dir_.path()};
  PrivateSessionBus* bus_ = nullptr;
  std::optional<ScopedEnvironment> bus_env_;
  std::optional<EmailCredentialStore> store_;
};

TEST_P(CredentialStoreTest, SavingReplacesAndKeysStaySeparate) {
  const EmailCredentialStore& store = *store_;
  store.save("first-secret", "account-a");
  store.save("second-secret", "account-a");
  store.save("other-secret", "account-b");
  EXPECT_EQ(store.read("account-a"), "second-secret");
  EXPECT_EQ(store.read("account-b"), "other-secret");

  // Another service name is another set of items.
  EmailCredentialStore stranger(store.service() + ".other", GetParam());
  EXPECT_EQ(stranger.read("account-a"), std::nullopt);

  if (GetParam() == CredentialBackend::SecretService) {
    EXPECT_EQ(keyring_items("account-a"), 1);
    EXPECT_FALSE(std::filesystem::exists(EmailCredentialStore::credentials_file()));
  } else {
    const Json document =
        Json::parse(read_file(EmailCredentialStore::credentials_file()).value_or(""));
    EXPECT_EQ(document[store.service()].size(), 2u);
  }

  store.remove("account-a");
  EXPECT_EQ(store.read("account-a"), std::nullopt);
  EXPECT_EQ(store.read("account-b"), "other-secret");
  if (GetParam() == CredentialBackend::SecretService) {
    EXPECT_EQ(keyring_items("account-a"), 0);
  }
}

TEST_P(CredentialStoreTest, PasswordsRoundTripByteForByte) {
  const EmailCredentialStore& store = *store_;
  const std::string unicode = "pässwörd 密码🔑 \"quoted\" \\ back\nslash\ttab";
  store.save(unicode, "unicode");
  EXPECT_EQ(store.read("unicode"), unicode);

  store.save("", "empty");
  EXPECT_EQ(store.read("empty"), std::string());

  try {
    store.save(std::string("bad\xff\xfe", 5), "invalid");
    FAIL() << "a password that is not UTF-8 was accepted";
  } catch (const EmailCredentialError& e) {
    EXPECT_EQ(e.kind(), EmailCredentialError::Kind::InvalidData);
    EXPECT_STREQ(e.what(), "无效的密码数据");
  }
  EXPECT_EQ(store.read("invalid"), std::nullopt);
}

TEST_P(CredentialStoreTest, PasswordsNeverReachTheLog) {
  const std::string secret = "hunter2-分外-秘密";
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  store_->save(secret, "logged");
  (void)store_->read("logged");
  store_->remove("logged");
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.find("hunter2"), std::string::npos) << out;
  EXPECT_EQ(err.find("hunter2"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Backends, CredentialStoreTest,
                         ::testing::Values(CredentialBackend::File,
                                           CredentialBackend::SecretService),
                         [](const auto& info) { return std::string(backend_name(info.param)); });

class CredentialFileTest : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedHome home_{dir_.path()};
  EmailCredentialStore store_{"com.kestrova.test.file", CredentialBackend::File};
};

TEST_F(CredentialFileTest, FileAndFolderAreOwnerOnlyWhateverTheUmask) {
  const mode_t previous = ::umask(0);
  store_.save("s3cret", "account");
  ::umask(previous);

  const auto file = EmailCredentialStore::credentials_file();
  EXPECT_EQ(file, dir_.path() / "data" / "kestrova" / "credentials.json");
  auto mode = [](const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
  };
  EXPECT_EQ(mode(file), 0600u);
  EXPECT_EQ(mode(file.parent_path()), 0700u);
  ::chmod(file.c_str(), 0644);  // restored wider from a backup: narrowed when next read
  EXPECT_EQ(store_.read("account"), "s3cret");
  EXPECT_EQ(mode(file), 0600u);
  // Nothing but the file and its lock is left behind (no half-written temporary files).
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
    const auto name = entry.path().filename().string();
    EXPECT_TRUE(name == "credentials.json" || name == "credentials.json.lock") << name;
  }
}

TEST_F(CredentialFileTest, CorruptFileReadsAsNothingAndIsRewrittenBySave) {
  const auto file = EmailCredentialStore::credentials_file();
  write_file(file, "{\"com.kestrova.test.file\": {\"account\": \"leaked-old-secret\"");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(store_.read("account"), std::nullopt);
  const std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("⚠️ [EmailCredentialStore]"), std::string::npos) << log;
  EXPECT_EQ(log.find("leaked-old-secret"), std::string::npos) << log;

  store_.save("fresh", "account");
  EXPECT_EQ(store_.read("account"), "fresh");
  EXPECT_TRUE(Json::parse(read_file(file).value_or("")).is_object());

  // A value that is not text is the entry's fault, not the file's: invalid data.
  write_file(file, R"({"com.kestrova.test.file": {"account": 42, "other": "ok"}})");
  EXPECT_EQ(store_.read("other"), "ok");
  try {
    (void)store_.read("account");
    FAIL() << "a non-text password was returned";
  } catch (const EmailCredentialError& e) {
    EXPECT_EQ(e.kind(), EmailCredentialError::Kind::InvalidData);
    EXPECT_STREQ(e.what(), "无效的密码数据");
  }
}

TEST_F(CredentialFileTest, FileSystemFailuresCarryTheirStatus) {
  const auto file = EmailCredentialStore::credentials_file();
  // The folder cannot be created where a plain file stands.
  write_file(file.parent_path().parent_path() / "kestrova", "not a folder");
  try {
    store_.save("p", "account");
    FAIL() << "saving into a missing folder succeeded";
  } catch (const EmailCredentialError& e) {
    EXPECT_EQ(e.kind(), EmailCredentialError::Kind::SaveFailed);
    ASSERT_TRUE(e.status().has_value());
    EXPECT_GT(*e.status(), 0);
    EXPECT_EQ(std::string(e.what()), "保存密码失败: " + std::to_string(*e.status()));
  }

  std::filesystem::remove(file.parent_path());
  std::filesystem::create_directories(file);  // a folder where the file should be
  try {
    (void)store_.read("account");
    FAIL() << "reading a folder as the credential file succeeded";
  } catch (const EmailCredentialError& e) {
    EXPECT_EQ(e.kind(), EmailCredentialError::Kind::ReadFailed);
    EXPECT_EQ(e.status(), EISDIR);
    EXPECT_EQ(std::string(e.what()), "读取密码失败: " + std::to_string(EISDIR));
  }
  EXPECT_NO_THROW(store_.remove("account"));
}

TEST_F(CredentialFileTest, ConcurrentSavesLoseNothing) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 10; ++i) {
        const std::string key = std::to_string(t) + "-" + std::to_string(i);
        store_.save("p" + key, key);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 10; ++i) {
      const std::string key = std::to_string(t) + "-" + std::to_string(i);
      EXPECT_EQ(store_.read(key), "p" + key);
    }
  }
}

TEST(CredentialBackendChoice, VariableForcesAndSessionBusDecides) {
  TempDir dir;
  ScopedHome home(dir.path());
  const std::string nowhere = "unix:path=" + (dir.path() / "no-bus").string();
  {
    ScopedEnvironment forced("KESTROVA_CREDENTIAL_STORE", "secret-service");
    ScopedEnvironment bus("DBUS_SESSION_BUS_ADDRESS", nowhere);
    EXPECT_EQ(EmailCredentialStore().backend(), CredentialBackend::SecretService);
  }
  ScopedEnvironment automatic("KESTROVA_CREDENTIAL_STORE", std::nullopt);
  {
    ScopedEnvironment bus("DBUS_SESSION_BUS_ADDRESS", nowhere);
    EXPECT_EQ(EmailCredentialStore().backend(), CredentialBackend::File);
  }
  {
    PrivateSessionBus without_keyring;
    ScopedEnvironment bus("DBUS_SESSION_BUS_ADDRESS", without_keyring.address());
    EXPECT_EQ(EmailCredentialStore().backend(), CredentialBackend::File);
  }

  std::string why;
  PrivateSessionBus* with_keyring = keyring_bus(why);
  if (!with_keyring)
    GTEST_SKIP() << "Secret Service choice not checked, no private keyring: " << why;
  ScopedEnvironment bus("DBUS_SESSION_BUS_ADDRESS", with_keyring->address());
  EXPECT_EQ(EmailCredentialStore().backend(), CredentialBackend::SecretService);
  ScopedEnvironment forced("KESTROVA_CREDENTIAL_STORE", "file");
  EXPECT_EQ(EmailCredentialStore().backend(), CredentialBackend::File);
}

}  // namespace
}  // namespace kestrova::platform
