// Helpers of the spool-analysis tests: files with known bytes, a JobData that runs a body of
// the test's, and a platform whose file calls are recorded and can be made to fail.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gatelib/printing/job_data.h"
#include "gatelib/printing/spool_analyzer.h"
#include "platform/platform.h"
#include "testing/machine_fixture.h"

namespace gatelib::printing::test {

// Byte i of a patterned file: no short period, so a wrong offset shows.
inline std::uint8_t PatternByte(std::size_t i) {
  return static_cast<std::uint8_t>((i * 7 + i / 251) % 251);
}
inline std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(PatternByte(i));
  return bytes;
}

// A JobData whose analysis is the test's body.
class Probe : public JobData {
 public:
  Probe(std::size_t bufferSize, std::function<int(Probe&)> body)
      : JobData(bufferSize), body_(std::move(body)) {}

 protected:
  int Analyze() override { return body_(*this); }

 private:
  std::function<int(Probe&)> body_;
};

// Files of a machine with every ReadFile and SetFilePointerEx recorded; the n-th of each can be
// made to fail with an error code.
class SpyFiles : public platform::Files {
 public:
  explicit SpyFiles(platform::Files& inner) : inner_(inner) {}

  struct Call {
    char what;            // 'R' read, 'S' seek
    std::int64_t amount;  // bytes asked for, or the seek distance
    platform::DWORD method;
  };
  std::vector<Call> calls;
  platform::HANDLE lastOpened = nullptr;
  int failRead = -1;  // index among the reads that fails
  int failSeek = -1;
  platform::DWORD failCode = platform::ERROR_ACCESS_DENIED;

  bool CreateDirectoryW(const std::wstring& p) override { return inner_.CreateDirectoryW(p); }
  bool RemoveDirectoryW(const std::wstring& p) override { return inner_.RemoveDirectoryW(p); }
  bool DeleteFileW(const std::wstring& p) override { return inner_.DeleteFileW(p); }
  bool MoveFileW(const std::wstring& a, const std::wstring& b) override {
    return inner_.MoveFileW(a, b);
  }
  bool MoveFileExW(const std::wstring& a, const std::wstring& b, platform::DWORD flags) override {
    return inner_.MoveFileExW(a, b, flags);
  }
  platform::DWORD GetFileAttributesW(const std::wstring& p) override {
    return inner_.GetFileAttributesW(p);
  }
  platform::HANDLE CreateFileW(const std::wstring& path, platform::DWORD access,
                               platform::DWORD share, platform::DWORD disposition,
                               platform::DWORD flags) override {
    lastOpened = inner_.CreateFileW(path, access, share, disposition, flags);
    return lastOpened;
  }
  bool ReadFile(platform::HANDLE f, void* buffer, platform::DWORD size,
                platform::DWORD* read) override {
    int index = Count('R');
    calls.push_back({'R', size, 0});
    if (index == failRead) {
      platform::kernel().SetLastError(failCode);
      return false;
    }
    return inner_.ReadFile(f, buffer, size, read);
  }
  bool WriteFile(platform::HANDLE f, const void* data, platform::DWORD size,
                 platform::DWORD* written) override {
    return inner_.WriteFile(f, data, size, written);
  }
  bool FlushFileBuffers(platform::HANDLE f) override { return inner_.FlushFileBuffers(f); }
  bool SetFilePointerEx(platform::HANDLE f, std::int64_t distance, std::int64_t* position,
                        platform::DWORD method) override {
    int index = Count('S');
    calls.push_back({'S', distance, method});
    if (index == failSeek) {
      platform::kernel().SetLastError(failCode);
      return false;
    }
    return inner_.SetFilePointerEx(f, distance, position, method);
  }
  bool GetFileSizeEx(platform::HANDLE f, std::int64_t* size) override {
    return inner_.GetFileSizeEx(f, size);
  }
  bool CreatePipe(platform::HANDLE* r, platform::HANDLE* w) override {
    return inner_.CreatePipe(r, w);
  }
  platform::HANDLE GetStdHandle(platform::DWORD which) override {
    return inner_.GetStdHandle(which);
  }
  bool GetTempPathW(std::wstring* path) override { return inner_.GetTempPathW(path); }

  int Count(char what) const {
    int n = 0;
    for (const Call& c : calls) n += c.what == what;
    return n;
  }

 private:
  platform::Files& inner_;
};

// The test machine with its files seen through SpyFiles, installed for the object's lifetime.
class SpyPlatform : public platform::Platform {
 public:
  explicit SpyPlatform(platform::Platform& machine) : machine_(machine), files_(machine.files()) {}
  platform::Kernel& kernel() override { return machine_.kernel(); }
  platform::System& system() override { return machine_.system(); }
  platform::Files& files() override { return files_; }
  platform::Console& console() override { return machine_.console(); }
  platform::Processes& processes() override { return machine_.processes(); }
  platform::Services& services() override { return machine_.services(); }
  platform::Registry& registry() override { return machine_.registry(); }
  platform::Sockets& sockets() override { return machine_.sockets(); }
  platform::EventLog& eventLog() override { return machine_.eventLog(); }
  platform::Spooler& spooler() override { return machine_.spooler(); }
  platform::GdiSpool& gdiSpool() override { return machine_.gdiSpool(); }
  SpyFiles& spy() { return files_; }

 private:
  platform::Platform& machine_;
  SpyFiles files_;
};

// The test data folder's file `name`.
inline std::wstring TestData(const std::string& name) {
  return tollgate::testing::Wide(std::filesystem::path(TOLLGATE_TESTDATA) / name);
}

// A fresh machine on which spool files of the test's bytes are analysed with the built-in
// readers.
class AnalysisTest : public tollgate::testing::MachineTest {
 protected:
  struct Analysis {
    int result = -1;
    JobCounts counts;
  };
  Analysis Analyse(const std::string& bytes) {
    tollgate::testing::WriteBytes(Folder() / "00001.spl", bytes);
    return AnalyseFile(tollgate::testing::Wide(Folder() / "00001.spl"));
  }
  // The analysis with the file's reads watched: `asked` receives the bytes that the reads
  // asked the platform for, which shows whether a reader reads the same bytes again and again.
  Analysis AnalyseCountingReads(const std::string& bytes, std::int64_t& asked) {
    auto spy = std::make_shared<SpyPlatform>(platform::Current());
    std::shared_ptr<platform::Platform> previous = platform::Install(spy);
    Analysis a = Analyse(bytes);
    platform::Install(previous);
    asked = 0;
    for (const SpyFiles::Call& c : spy->spy().calls) {
      if (c.what == 'R') asked += c.amount;
    }
    return a;
  }
  Analysis AnalyseFile(const std::wstring& path) {
    SpoolAnalyzer analyzer(kSpoolBufferSize, PrinterLanguage::Unknown, pageEnds);
    Analysis a;
    a.result = analyzer.Open(path, nullptr);
    a.counts = analyzer.Counts();
    return a;
  }
  PageEndList pageEnds;
};

}  // namespace gatelib::printing::test
