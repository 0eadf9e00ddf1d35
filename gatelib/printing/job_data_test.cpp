#include "gatelib/printing/job_data.h"

#include <gtest/gtest.h>

#include <memory>

#include "gatelib/printing/test_support.h"
#include "shared/error/errors.h"

namespace gatelib::printing {
namespace {

using test::Pattern;
using test::PatternByte;
using test::Probe;
using tollgate::testing::Wide;
using tollgate::testing::WriteBytes;

class JobDataTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    spy_ = std::make_shared<test::SpyPlatform>(platform::Current());
    previous_ = platform::Install(spy_);
  }
  void TearDown() override { platform::Install(previous_); }

  std::wstring File(std::size_t size) {
    WriteBytes(Folder() / "job.spl", Pattern(size));
    return Wide(Folder() / "job.spl");
  }
  // Runs `body` on the file with the job checker's window.
  int Run(const std::wstring& path, std::function<void(Probe&)> body) {
    Probe probe(kSpoolBufferSize, [&](Probe& data) {
      body(data);
      return 0;
    });
    return probe.Open(path, nullptr);
  }
  test::SpyFiles& spy() { return spy_->spy(); }

 private:
  std::shared_ptr<test::SpyPlatform> spy_;
  std::shared_ptr<platform::Platform> previous_;
};

TEST_F(JobDataTest, DeliversAWholeWindowSizedFileThenEndsWithoutMoving) {
  Run(File(20480), [&](Probe& data) {
    std::uint8_t byte = 0;
    for (std::size_t i = 0; i < 20480; ++i) {
      ASSERT_TRUE(data.GetNextChar(byte)) << i;
      ASSERT_EQ(byte, PatternByte(i)) << i;
    }
    EXPECT_FALSE(data.GetNextChar(byte));
    EXPECT_FALSE(data.GetNextChar(byte));
    EXPECT_EQ(data.Position(), 20480);
  });
  // One window of 20 480 bytes; the end is where the file's size says, without another read.
  ASSERT_EQ(spy().Count('R'), 1);
  EXPECT_EQ(spy().calls[0].amount, 20480);
  EXPECT_EQ(spy().Count('S'), 0);
}

TEST_F(JobDataTest, RefillsInWholeWindowsAndKeepsTheAbsolutePosition) {
  Run(File(50000), [&](Probe& data) {
    std::uint8_t byte = 0;
    std::size_t n = 0;
    while (data.GetNextChar(byte)) {
      ASSERT_EQ(byte, PatternByte(n));
      ++n;
      if (n == 20480 || n == 40960) {
        EXPECT_EQ(data.Position(), static_cast<std::int64_t>(n));
      }
    }
    EXPECT_EQ(n, 50000u);
  });
  // Three windows of 20 480 bytes, the last one short; the rest of it is asked for once more,
  // and that read meets the end of the file.
  ASSERT_EQ(spy().calls.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(spy().calls[i].amount, 20480);
  EXPECT_EQ(spy().calls[3].amount, 20480 - (50000 - 40960));
}

TEST_F(JobDataTest, SkipPassesOverBytesWithASeekWhenTheNextByteIsNeeded) {
  Run(File(50000), [&](Probe& data) {
    EXPECT_EQ(data.Skip(30000), 30000);
    EXPECT_EQ(data.Position(), 30000);
    EXPECT_EQ(spy().calls.size(), 0u);  // nothing happens until a byte is needed
    std::uint8_t byte = 0;
    ASSERT_TRUE(data.GetNextChar(byte));
    EXPECT_EQ(byte, PatternByte(30000));
    EXPECT_EQ(data.Position(), 30001);
  });
  // The skipped bytes are passed over up to the window-sized block that holds the position.
  ASSERT_GE(spy().calls.size(), 2u);
  EXPECT_EQ(spy().calls[0].what, 'S');
  EXPECT_EQ(spy().calls[0].amount, 20480);
  EXPECT_EQ(spy().calls[0].method, platform::FILE_CURRENT);
  EXPECT_EQ(spy().calls[1].what, 'R');
}

TEST_F(JobDataTest, SkipInsideTheWindowNeitherReadsNorSeeks) {
  Run(File(50000), [&](Probe& data) {
    std::uint8_t byte = 0;
    ASSERT_TRUE(data.GetNextChar(byte));
    data.Skip(20000);
    ASSERT_TRUE(data.GetNextChar(byte));
    EXPECT_EQ(byte, PatternByte(20001));
    data.Skip(-4);
    ASSERT_TRUE(data.GetNextChar(byte));
    EXPECT_EQ(byte, PatternByte(19998));
  });
  EXPECT_EQ(spy().Count('R'), 1);
  EXPECT_EQ(spy().Count('S'), 0);
}

TEST_F(JobDataTest, MovesBackOverAWindowBoundaryAndBeforeTheStart) {
  Run(File(50000), [&](Probe& data) {
    std::uint8_t byte = 0;
    for (int i = 0; i < 20490; ++i) ASSERT_TRUE(data.GetNextChar(byte));
    data.Skip(-20);  // into the previous window
    EXPECT_EQ(data.Position(), 20470);
    ASSERT_TRUE(data.GetNextChar(byte));
    EXPECT_EQ(byte, PatternByte(20470));
    data.Skip(-1000000);  // stops at the start
    EXPECT_EQ(data.Position(), 0);
    ASSERT_TRUE(data.GetNextChar(byte));
    EXPECT_EQ(byte, PatternByte(0));
  });
}

TEST_F(JobDataTest, ReadCopiesWhatIsLeftAndThenReportsTheEnd) {
  Run(File(40000), [&](Probe& data) {
    data.Skip(10);
    std::string out(50000, '\0');
    std::size_t copied = 0;
    EXPECT_TRUE(data.Read(out.data(), out.size(), &copied));
    EXPECT_EQ(copied, 39990u);
    EXPECT_EQ(out.substr(0, copied), Pattern(40000).substr(10));
    EXPECT_EQ(data.Position(), 40000);
    EXPECT_FALSE(data.Read(out.data(), 1, &copied));
    EXPECT_EQ(copied, 0u);
  });
}

TEST_F(JobDataTest, SkipPastTheEndAndBackAgain) {
  Run(File(1000), [&](Probe& data) {
    std::uint8_t byte = 0;
    ASSERT_TRUE(data.GetNextChar(byte));
    data.Skip(5000);
    EXPECT_FALSE(data.GetNextChar(byte));
    EXPECT_EQ(data.Position(), 5001);
    data.Skip(-4500);
    ASSERT_TRUE(data.GetNextChar(byte));
    EXPECT_EQ(byte, PatternByte(501));
    data.Skip(100000);  // a pending seek beyond the end of the file
    EXPECT_FALSE(data.GetNextChar(byte));
    EXPECT_EQ(data.Position(), 100502);
  });
}

TEST_F(JobDataTest, SeekGoesToAnAbsoluteOffsetAndReportsFailureAsANegativeCode) {
  Run(File(50000), [&](Probe& data) {
    std::string out(30000, '\0');
    ASSERT_TRUE(data.Read(out.data(), out.size()));
    EXPECT_EQ(data.Seek(100), 100);
    EXPECT_EQ(data.Position(), 100);
    std::uint8_t byte = 0;
    ASSERT_TRUE(data.GetNextChar(byte));
    EXPECT_EQ(byte, PatternByte(100));
    EXPECT_EQ(data.Seek(-1), -static_cast<std::int64_t>(platform::ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(data.Position(), 101);
    ASSERT_TRUE(data.GetNextChar(byte));
    EXPECT_EQ(byte, PatternByte(101));
    EXPECT_EQ(data.Rewind(), 0);
    ASSERT_TRUE(data.GetNextChar(byte));
    EXPECT_EQ(byte, PatternByte(0));
  });
}

TEST_F(JobDataTest, OpenReportsAMissingFileAndClosesTheFileAfterTheAnalysis) {
  try {
    Run(Wide(Folder() / "none.spl"), [](Probe&) {});
    FAIL() << "no error";
  } catch (SystemError* error) {
    std::unique_ptr<SystemError> owned(error);
    EXPECT_EQ(error->Id(), 0u);
    ASSERT_EQ(error->Args().size(), 4u);
    EXPECT_EQ(error->Args()[0], L"file.open");
    EXPECT_EQ(error->Args()[1], L"JobData::Open");
    EXPECT_EQ(error->Code(), static_cast<std::int32_t>(platform::ERROR_FILE_NOT_FOUND));
  }
  EXPECT_EQ(Run(File(10), [](Probe&) {}), 0);
  platform::DWORD read = 0;
  char byte = 0;
  EXPECT_FALSE(platform::files().ReadFile(spy().lastOpened, &byte, 1, &read));
  EXPECT_EQ(platform::kernel().GetLastError(), platform::ERROR_INVALID_HANDLE);
}

TEST_F(JobDataTest, ReadAndSeekFailuresRaiseWithThePlaceOfTheOperation) {
  struct Case {
    const char* name;
    int failRead;
    int failSeek;
    bool useRead;
    const wchar_t* function;
    const wchar_t* place;
  };
  const Case cases[] = {
      {"read by byte", 0, -1, false, L"file.Read", L"JobData::GetNextChar"},
      {"read by block", 0, -1, true, L"file.Read", L"JobData::Read"},
      {"skip by byte", -1, 0, false, L"file.Seek", L"JobData::GetNextChar"},
      {"skip by block", -1, 0, true, L"file.Seek", L"JobData::Read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    spy().calls.clear();
    spy().failRead = c.failRead;
    spy().failSeek = c.failSeek;
    std::wstring path = File(50000);
    try {
      Run(path, [&](Probe& data) {
        data.Skip(c.failSeek == 0 ? 30000 : 0);
        std::uint8_t byte = 0;
        if (c.useRead)
          data.Read(&byte, 1);
        else
          data.GetNextChar(byte);
      });
      ADD_FAILURE() << "no error";
    } catch (SystemError* error) {
      std::unique_ptr<SystemError> owned(error);
      ASSERT_EQ(error->Args().size(), 4u);
      EXPECT_EQ(error->Args()[0], c.function);
      EXPECT_EQ(error->Args()[1], c.place);
      EXPECT_EQ(error->Code(), static_cast<std::int32_t>(platform::ERROR_ACCESS_DENIED));
    }
  }
}

TEST_F(JobDataTest, AFailedReadWithoutAnErrorCodeIsTheEndOfTheData) {
  spy().failRead = 0;
  spy().failCode = 0;
  Run(File(100), [&](Probe& data) {
    std::uint8_t byte = 0;
    EXPECT_FALSE(data.GetNextChar(byte));
  });
}

TEST(SpoolFileName, PadsTheJobIdToFiveDigits) {
  EXPECT_EQ(SpoolFileName(L"D:\\Q", 42), L"D:\\Q\\00042.spl");
  EXPECT_EQ(SpoolFileName(L"D:\\Q", 7), L"D:\\Q\\00007.spl");
  EXPECT_EQ(SpoolFileName(L"D:\\Q", 100000), L"D:\\Q\\100000.spl");
  EXPECT_EQ(SpoolFileName(L"D:\\Q", 123456), L"D:\\Q\\123456.spl");
  EXPECT_EQ(SpoolFileName(L"C:\\Windows\\System32\\spool\\PRINTERS", 0),
            L"C:\\Windows\\System32\\spool\\PRINTERS\\00000.spl");
}

}  // namespace
}  // namespace gatelib::printing
