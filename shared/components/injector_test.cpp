#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/components/injector.h"
#include "shared/error/file_log.h"
#include "testing/machine_fixture.h"

namespace {

using tollgate::Component;
using tollgate::Injector;
using tollgate::testing::ReadBytes;
using tollgate::testing::Wide;

class Recorded : public Component {
 public:
  Recorded(std::string name, std::vector<std::string>& log) : name_(std::move(name)), log_(log) {}
  ~Recorded() override { log_.push_back(name_); }

 private:
  std::string name_;
  std::vector<std::string>& log_;
};

class InjectorTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    tollgate::InstallFileLog(
        std::make_unique<tollgate::FileLog>(Wide(Folder() / "events.log"), 1000000));
  }
  void TearDown() override { tollgate::InstallFileLog(nullptr); }
  std::string LogText() { return ReadBytes(Folder() / "events_0.log"); }
};

TEST_F(InjectorTest, GetReturnsTheSameRegisteredObjectAndKeysAreCaseSensitive) {
  std::vector<std::string> destroyed;
  Injector injector;
  auto* clock = new Recorded("clock", destroyed);
  injector.Register("clock", std::unique_ptr<Component>(clock));
  EXPECT_EQ(injector.Get("clock"), clock);
  EXPECT_EQ(injector.Get("clock"), clock);
  EXPECT_EQ(injector.Get("Clock"), nullptr);
  EXPECT_TRUE(destroyed.empty());
}

TEST_F(InjectorTest, AbsentKeyTracesOneLinePerCall) {
  Injector injector;
  EXPECT_EQ(injector.Get("konica-copies-fetcher"), nullptr);
  EXPECT_EQ(injector.Get("konica-copies-fetcher"), nullptr);
  std::string text = LogText();
  const std::string line = "][Injector] konica-copies-fetcher not found\r\n";
  std::size_t first = text.find(line);
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_NE(text.find(line, first + 1), std::string::npos);
  EXPECT_NE(text.find("[tid:0x"), std::string::npos);
}

TEST_F(InjectorTest, RegisteringAgainDestroysTheFirstAtOnce) {
  std::vector<std::string> destroyed;
  Injector injector;
  injector.Register("clock", std::make_unique<Recorded>("first", destroyed));
  injector.Register("clock", std::make_unique<Recorded>("second", destroyed));
  EXPECT_EQ(destroyed, std::vector<std::string>{"first"});
}

TEST_F(InjectorTest, DestroysComponentsInAscendingKeyOrder) {
  std::vector<std::string> destroyed;
  {
    Injector injector;
    for (const char* key :
         {"print-confirmer", "error-handler", "clock", "storage-job-hardware-updater", "runner",
          "registry-reader-maker", "registry-enumerator", "account-requester", "auth-requester",
          "feedback-sender"}) {
      injector.Register(key, std::make_unique<Recorded>(key, destroyed));
    }
  }
  EXPECT_EQ(destroyed, (std::vector<std::string>{
                           "account-requester", "auth-requester", "clock", "error-handler",
                           "feedback-sender", "print-confirmer", "registry-enumerator",
                           "registry-reader-maker", "runner", "storage-job-hardware-updater"}));
}

}  // namespace
