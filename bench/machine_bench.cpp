// The simulated machine's spooler reached through its system process: the time per job of a
// burst printed to one queue through the socket, and the time from print to the watcher's
// notification. A watcher holds a change notification on the queue for the whole run and
// proves that no job is lost: each one arrives, or the notifications are marked discarded
// and a refresh gives the whole queue.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "platform/sim/machine_server.h"

namespace {

using namespace platform;
using Clock = std::chrono::steady_clock;

std::atomic<bool> machineUp{false};
void Up() {
  machineUp = true;
}

// A machine process in a thread of this program, with one paused queue.
class RunningMachine {
 public:
  RunningMachine() {
    folder_ = std::filesystem::temp_directory_path() /
              ("tollgate-machine-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(folder_);
    std::ofstream(folder_ / "registry.reg", std::ios::binary)
        << "REGEDIT4\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Burst]\r\n"
           "\"Port\"=\"LPT1:\"\r\n\"Printer Driver\"=\"Generic / Text Only\"\r\n"
           "\"Status\"=dword:00000001\r\n";
    machineUp = false;
    server_ = std::thread([this] { platform::sim::RunMachineProcess(folder_, &Up); });
    while (!machineUp) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    client_ =
        std::make_shared<platform::sim::Machine>(folder_, platform::sim::Machine::Hosting::Reach);
    previous_ = platform::Install(client_);
  }
  ~RunningMachine() {
    platform::Install(previous_);
    client_.reset();
    platform::sim::StopMachineProcess(folder_, 30000);
    server_.join();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  bool Reached() const { return client_->Reached(); }

 private:
  std::filesystem::path folder_;
  std::thread server_;
  std::shared_ptr<platform::sim::Machine> client_;
  std::shared_ptr<Platform> previous_;
};

// Holds a notification on the queue: every job id seen, and when it was first seen spooled.
class Watcher {
 public:
  // `pause`: how long the watcher dawdles after each read, so that notifications pile up.
  explicit Watcher(const std::wstring& queue, std::chrono::milliseconds pause = {})
      : pause_(pause) {
    spooler().OpenPrinterW(queue, &printer_, nullptr);
    options_.pTypes.push_back({JOB_NOTIFY_TYPE, {JOB_NOTIFY_FIELD_STATUS}});
    change_ = spooler().FindFirstPrinterChangeNotification(printer_, 0, 0, &options_);
    quit_ = kernel().CreateEventW(true, false);
    thread_ = std::thread([this] { Run(); });
  }
  ~Watcher() {
    kernel().SetEvent(quit_);
    thread_.join();
    spooler().FindClosePrinterChangeNotification(change_);
    spooler().ClosePrinter(printer_);
    kernel().CloseHandle(quit_);
  }
  // Waits until the job has been seen completely spooled; the time it was.
  Clock::time_point WaitSpooled(DWORD job) {
    std::unique_lock<std::mutex> lock(lock_);
    seen_.wait(lock, [&] { return spooled_.count(job) != 0; });
    return spooled_[job];
  }
  Clock::time_point WaitAny(DWORD job) {
    std::unique_lock<std::mutex> lock(lock_);
    seen_.wait(lock, [&] { return first_.count(job) != 0; });
    return first_[job];
  }
  std::size_t Spooled() {
    std::lock_guard<std::mutex> guard(lock_);
    return spooled_.size();
  }
  int discards = 0, refreshes = 0;

 private:
  void Run() {
    HANDLE waits[2] = {change_, quit_};
    for (;;) {
      DWORD w = kernel().WaitForMultipleObjects(2, waits, false, INFINITE);
      if (w != WAIT_OBJECT_0) return;
      DWORD flags = 0;
      PrinterNotifyInfo* info = nullptr;
      if (!spooler().FindNextPrinterChangeNotification(change_, &flags, &options_, &info)) return;
      bool refresh = options_.Flags != 0;
      options_.Flags = 0;
      if (info->Flags & PRINTER_NOTIFY_INFO_DISCARDED) {
        ++discards;
        options_.Flags = PRINTER_NOTIFY_OPTIONS_REFRESH;
      }
      if (refresh) ++refreshes;
      auto now = Clock::now();
      {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& d : info->aData) {
          first_.emplace(d.Id, now);
          if ((d.adwData[0] & JOB_STATUS_SPOOLING) == 0) spooled_.emplace(d.Id, now);
        }
      }
      seen_.notify_all();
      spooler().FreePrinterNotifyInfo(info);
      if (pause_.count() > 0) std::this_thread::sleep_for(pause_);
    }
  }
  std::chrono::milliseconds pause_;
  HANDLE printer_ = nullptr, change_ = nullptr, quit_ = nullptr;
  PrinterNotifyOptions options_;
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable seen_;
  std::map<DWORD, Clock::time_point> first_, spooled_;
};

DWORD PrintOne(HANDLE printer, const std::string& data) {
  DWORD id = spooler().StartDocPrinterW(printer, DocInfo1{L"burst", L"", L"RAW"});
  DWORD written = 0;
  spooler().WritePrinter(printer, data.data(), static_cast<DWORD>(data.size()), &written);
  spooler().EndDocPrinter(printer);
  return id;
}

// A burst of jobs to one queue; each iteration is one job (StartDoc, 4 KB, EndDoc). The
// argument is the watcher's pause after each read (ms): with one, notifications pile up, are
// discarded, and the refresh must still give every job.
void BM_PrintBurstThroughTheSocket(benchmark::State& state) {
  RunningMachine machine;
  if (!machine.Reached()) {
    state.SkipWithError("the machine process does not answer");
    return;
  }
  Watcher watcher(L"Burst", std::chrono::milliseconds(state.range(0)));
  HANDLE printer = nullptr;
  spooler().OpenPrinterW(L"Burst", &printer, nullptr);
  std::string data(4096, 'x');
  std::vector<DWORD> ids;
  for (auto _ : state) ids.push_back(PrintOne(printer, data));
  // None lost: every job is in the queue and the watcher saw each one spooled.
  std::vector<JobInfo2> jobs;
  spooler().EnumJobsW(printer, 0, 0xFFFFFFFF, &jobs);
  auto until = Clock::now() + std::chrono::seconds(30);
  while (watcher.Spooled() < ids.size() && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (jobs.size() != ids.size()) state.SkipWithError("jobs were lost in the queue");
  if (watcher.Spooled() != ids.size()) state.SkipWithError("the watcher did not see every job");
  state.counters["jobs"] = static_cast<double>(jobs.size());
  state.counters["seen"] = static_cast<double>(watcher.Spooled());
  state.counters["discarded"] = watcher.discards;
  state.counters["refreshes"] = watcher.refreshes;
  spooler().ClosePrinter(printer);
}
BENCHMARK(BM_PrintBurstThroughTheSocket)
    ->Arg(0)
    ->Arg(200)
    ->Iterations(1000)
    ->Unit(benchmark::kMicrosecond);

// One spooler call through the socket and back (GetPrinterW), for scale.
void BM_CallRoundTrip(benchmark::State& state) {
  RunningMachine machine;
  if (!machine.Reached()) {
    state.SkipWithError("the machine process does not answer");
    return;
  }
  HANDLE printer = nullptr;
  spooler().OpenPrinterW(L"Burst", &printer, nullptr);
  PrinterInfo2 info;
  for (auto _ : state) benchmark::DoNotOptimize(spooler().GetPrinterW(printer, &info));
  spooler().ClosePrinter(printer);
}
BENCHMARK(BM_CallRoundTrip)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// From the print call to the watcher's notification: of the new job (spooling), and of the
// job completely spooled.
void BM_PrintToNotification(benchmark::State& state) {
  RunningMachine machine;
  if (!machine.Reached()) {
    state.SkipWithError("the machine process does not answer");
    return;
  }
  Watcher watcher(L"Burst");
  HANDLE printer = nullptr;
  spooler().OpenPrinterW(L"Burst", &printer, nullptr);
  std::string data(4096, 'x');
  double firstTotal = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    DWORD id = PrintOne(printer, data);
    auto spooled = watcher.WaitSpooled(id);
    auto first = watcher.WaitAny(id);
    firstTotal += std::chrono::duration<double>(first - start).count();
    state.SetIterationTime(std::chrono::duration<double>(spooled - start).count());
  }
  state.counters["to_first_notification_us"] =
      benchmark::Counter(firstTotal * 1e6 / static_cast<double>(state.iterations()));
  spooler().ClosePrinter(printer);
}
BENCHMARK(BM_PrintToNotification)->Iterations(300)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
