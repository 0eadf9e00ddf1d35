// A test program for the jobs file: "append PATH" appends job records as fast as it can and
// prints each local id once the append has returned with the record on the disk; "check PATH" reads
// every record back and prints "ok <count>" when the ids run 1, 2, 3 … and every record is whole.
// The machine is the one named by TOLLGATE_MACHINE.
#include <cstdio>
#include <cstring>
#include <string>

#include "agent/store/record_file.h"
#include "agent/store/records.h"
#include "shared/error/errors.h"

namespace {

using namespace tollgate;

// Every record holds the same report; the local id tells them apart.
remote::JobReport ReportOf(std::int32_t n) {
  remote::JobReport r;
  r.queueName = L"Fila " + std::to_wstring(n);
  r.documentName = std::wstring(200, static_cast<wchar_t>(L'a' + n % 26));
  r.pages = n;
  r.copies = n % 7 + 1;
  r.spoolerJobId = n;
  r.submitted = 46366.5;
  return r;
}

int Append(const std::wstring& path) {
  store::RecordFile file(path, store::kJobRecordSize);
  const std::string record = store::EncodeJobRecord(ReportOf(0));
  for (;;) {
    std::int32_t id = 0;
    try {
      id = file.Append(record);
    } catch (::Error* error) {
      std::fprintf(stderr, "append failed: %ls\n", error->Message().c_str());
      delete error;
      return 3;
    }
    if (file.Waiting() != 0) {  // kept in memory only: not on the disk
      std::fprintf(stderr, "append of record %d waits in memory\n", id);
      return 3;
    }
    std::printf("%d\n", id);
    std::fflush(stdout);
  }
}

int Check(const std::wstring& path) {
  store::RecordFile file(path, store::kJobRecordSize);
  std::string record;
  std::int32_t expected = 1;
  const std::string pattern = store::EncodeJobRecord(ReportOf(0));
  while (file.ReadFirst(&record)) {
    if (store::RecordLocalId(record) != expected) {
      std::printf("bad id %d where %d\n", store::RecordLocalId(record), expected);
      return 1;
    }
    if (std::memcmp(record.data() + 8, pattern.data() + 8, record.size() - 8) != 0) {
      std::printf("record %d damaged\n", expected);
      return 1;
    }
    file.Delete(expected);
    ++expected;
  }
  std::printf("ok %d\n", expected - 1);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::string narrow = argv[2];
  std::wstring path(narrow.begin(), narrow.end());
  if (std::strcmp(argv[1], "append") == 0) return Append(path);
  if (std::strcmp(argv[1], "check") == 0) return Check(path);
  return 2;
}
