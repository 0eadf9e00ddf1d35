// The road of a job through the whole agent: jobs made by real drivers are printed to 1, 4
// and 16 queues of a simulated print server whose system process runs in a thread of this
// program (the agent reaches its spooler through the machine's socket, as the service does),
// and the reference central server decides them on loopback. Reported: jobs per second, and
// per job the time from "spooled" to "resumed" in the spooler's journal at the median and the
// 99th percentile, with the server's share (the job store's AddJob, which includes the RPC
// round trip) and the agent's own share (the rest). A second benchmark prints 10 000 jobs with
// the machine and the server as processes of their own, and gives this process's (the
// agent's) resident memory after 1 000, 4 000, 7 000 and 10 000 jobs and its thread count.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/config/server_settings.h"
#include "agent/host/application.h"
#include "agent/rpc/central_server.h"
#include "agent/rpc/gateway.h"
#include "agent/store/store_jobs_cache.h"
#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "platform/sim/machine_server.h"
#include "shared/components/injector.h"
#include "shared/error/file_log.h"
#include "shared/rpc/rpc.h"
#include "tools/tollserver/ledger.h"
#include "tools/tollserver/service.h"

#ifndef TOLLGATE_TESTDATA
#define TOLLGATE_TESTDATA "testdata"
#endif
#ifndef TOLLGATE_TOLLSERVER
#define TOLLGATE_TOLLSERVER "tollserver"
#endif
#ifndef TOLLGATE_TOLLMACHINE
#define TOLLGATE_TOLLMACHINE "tollmachine"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using platform::DWORD;

// A few pages each, from real drivers.
const char* const kFiles[] = {"d02.pjl-pxlcolor.pxl",    "d04.pxlmono-3copies.pxl",
                              "d03.foo2lava-colour.pcl", "d12.foo2lava-mono.pcl",
                              "d04.foo2zjs.zjs",         "d04.ljet4.pcl"};

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::atomic<bool> machineUp{false};
void Up() {
  machineUp = true;
}

std::string QueueName(int i) {
  return "Fila" + std::to_string(i);
}

// The agent, with the time each job spent in the job store (the server's share) kept by queue
// and spooler job id.
class TimedApplication : public tollgate::Application {
 public:
  using Application::Application;
  tollgate::remote::ServerResultPtr AddJob(const tollgate::remote::JobReport& report,
                                           tollgate::remote::JobContext* context) override {
    auto begin = Clock::now();
    auto result = Application::AddJob(report, context);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    if (!timing_) return result;
    std::lock_guard<std::mutex> guard(lock_);
    server_[{report.queueName, static_cast<DWORD>(report.spoolerJobId)}] = ms;
    return result;
  }
  // Off in the long run, whose memory would otherwise hold a time for every job.
  void Timing(bool on) { timing_ = on; }
  std::map<std::pair<std::wstring, DWORD>, double> ServerTimes() {
    std::lock_guard<std::mutex> guard(lock_);
    return server_;
  }

 private:
  std::mutex lock_;
  std::map<std::pair<std::wstring, DWORD>, double> server_;
  std::atomic<bool> timing_{true};
};

// One run: a machine with `queues` queues, the server, the agent. The machine's system
// process runs in a thread of this program, or (`external`) as a tollmachine process of its
// own, so that this process's memory is the agent's and the server's alone.
class Road {
 public:
  explicit Road(int queues, bool external = false) : queues_(queues), external_(external) {
    folder_ = std::filesystem::temp_directory_path() /
              ("tollgate-road-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(folder_);
    std::string spool = (folder_ / "spool").string();
    std::string escaped;
    for (char c : spool) escaped += c == '/' ? std::string("\\\\") : std::string(1, c);
    std::ofstream reg(folder_ / "registry.reg", std::ios::binary);
    reg << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\"
           "Printers]\r\n\"DefaultSpoolDirectory\"=\""
        << escaped << "\"\r\n\r\n";
    for (int i = 0; i < queues; ++i) {
      reg << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\"
          << QueueName(i)
          << "]\r\n\"Port\"=\"LPT1:\"\r\n\"Printer Driver\"=\"HP LaserJet 4\"\r\n\r\n";
    }
    reg << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\r\n"
           "\"LPT1:\"=\"\"\r\n";
    reg.close();
    if (external_) {
      Tollmachine("start");
    } else {
      machineUp = false;
      machine_ = std::thread([this] { platform::sim::RunMachineProcess(folder_, &Up); });
      while (!machineUp) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    client_ =
        std::make_shared<platform::sim::Machine>(folder_, platform::sim::Machine::Hosting::Reach);
    previous_ = platform::Install(client_);
    std::filesystem::create_directories(folder_ / "data");
    tollgate::InstallFileLog(
        std::make_unique<tollgate::FileLog>((folder_ / "data" / "events.log").wstring(), 1000000));

    if (external_) {
      StartServerProcess();
    } else {
      StartServerHere();
    }

    auto queue = std::make_unique<tollgate::remote::ServerRequestQueue>(
        tollgate::remote::ProcessGatewayFactory(), 0, 30);
    auto store = std::make_unique<tollgate::store::StoreJobsCache>(
        std::move(queue), (folder_ / "data").wstring(), 60);
    app_ = std::make_unique<TimedApplication>(tollgate::ApplicationOptions{}, std::move(store));
    ok_ = app_->Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the watchers arm
    for (const char* name : kFiles)
      files_.push_back(ReadFile(std::filesystem::path(TOLLGATE_TESTDATA) / name));
  }

  ~Road() {
    app_.reset();
    tollgate::Injector::Process().Clear();
    if (server_) {
      server_->StopListening();
      server_->WaitListen();
      server_.reset();
    } else {
      StopServerProcess();
    }
    service_.reset();
    ledger_.reset();
    tollgate::InstallFileLog(nullptr);
    platform::Install(previous_);
    client_.reset();
    if (external_) {
      Tollmachine("stop");
    } else {
      platform::sim::StopMachineProcess(folder_, 60000);
      machine_.join();
    }
    std::error_code ec;
    if (std::getenv("TOLLGATE_BENCH_KEEP") == nullptr) std::filesystem::remove_all(folder_, ec);
  }

  bool Started() const { return ok_; }
  void KeepServerTimes(bool on) { app_->Timing(on); }

  // Prints `count` jobs round-robin over the queues from a few submitters: as fast as they
  // can (`perSecond` 0) or at that many jobs a second in all.
  void Print(int first, int count, int perSecond = 0) {
    int submitters = std::min(queues_, 4);
    std::vector<std::thread> threads;
    auto start = Clock::now();
    for (int s = 0; s < submitters; ++s) {
      threads.emplace_back([this, s, submitters, first, count, perSecond, start] {
        platform::Spooler& sp = platform::spooler();
        for (int n = first + s; n < first + count; n += submitters) {
          if (perSecond > 0) {
            std::this_thread::sleep_until(
                start + std::chrono::microseconds(1000000LL * (n - first) / perSecond));
          }
          std::string name = QueueName(n % queues_);
          std::wstring queue(name.begin(), name.end());
          const std::string& bytes = files_[static_cast<std::size_t>(n) % files_.size()];
          platform::HANDLE h = nullptr;
          if (!sp.OpenPrinterW(queue, &h, nullptr)) continue;
          sp.StartDocPrinterW(h, platform::DocInfo1{L"bench.prn", L"", L"RAW"});
          DWORD written = 0;
          sp.WritePrinter(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written);
          sp.EndDocPrinter(h);
          sp.ClosePrinter(h);
        }
      });
    }
    for (auto& t : threads) t.join();
  }

  struct Timing {
    std::vector<double> latency;  // spooled to resumed, ms
    std::vector<double> server;
    std::vector<double> agent;
    std::size_t resumed = 0;
    std::size_t undecided = 0;  // printed without the agent's release
    double lastResumed = 0;     // seconds since the epoch of the journal
    double firstSubmitted = 0;
  };

  // Reads the journal; `wanted` resumed jobs or the time-out.
  Timing WaitAndRead(std::size_t wanted, int seconds) {
    auto until = Clock::now() + std::chrono::seconds(seconds);
    Timing t;
    for (;;) {
      t = Read();
      if (t.resumed >= wanted || Clock::now() > until) return t;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  long RssKb() const { return Status("VmRSS:"); }
  long Threads() const { return Status("Threads:"); }

 private:
  void StartServerHere() {
    ledger_ = std::make_unique<tollserver::Ledger>(folder_ / "ledger");
    service_ = std::make_shared<tollserver::Service>(*ledger_, tollserver::Policy{});
    server_ = std::make_unique<rpc::Server>();
    rpc::RPC_STATUS status =
        server_->UseProtseq(L"ncacn_ip_tcp", rpc::RPC_C_PROTSEQ_MAX_REQS_DEFAULT);
    server_->RegisterIf(tollgate::remote::CentralServer(service_), 0,
                        rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT);
    if (status == rpc::RPC_S_OK)
      status = server_->Listen(1, rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT, true);
    if (status != rpc::RPC_S_OK || server_->Ports().empty()) {
      std::fprintf(stderr, "road_bench: the server cannot listen: RPC status %lu\n",
                   static_cast<unsigned long>(status));
      std::abort();
    }
    tollgate::ServerSettings::Process().SetHost(L"127.0.0.1");
    tollgate::ServerSettings::Process().SetPort(std::to_wstring(server_->Ports().at(0)));
  }

  // The reference server as a process of its own, on the port it reports.
  void StartServerProcess() {
    std::filesystem::create_directories(folder_ / "ledger");
    std::string out = (folder_ / "tollserver.txt").string();
    std::string command = std::string(TOLLGATE_TOLLSERVER) + " --port 0 --data '" +
                          (folder_ / "ledger").string() + "' 2>'" + out + "' & echo $! >'" +
                          (folder_ / "tollserver.pid").string() + "'";
    if (std::system(command.c_str()) != 0)
      std::fprintf(stderr, "road_bench: %s\n", command.c_str());
    for (int i = 0; i < 100; ++i) {
      std::string text = ReadFile(out);
      std::size_t at = text.find("port ");
      if (at != std::string::npos) {
        std::string port =
            text.substr(at + 5, text.find_first_not_of("0123456789", at + 5) - at - 5);
        tollgate::ServerSettings::Process().SetHost(L"127.0.0.1");
        tollgate::ServerSettings::Process().SetPort(std::wstring(port.begin(), port.end()));
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fprintf(stderr, "road_bench: tollserver did not start\n");
    std::abort();
  }

  void StopServerProcess() {
    std::string command = "kill $(cat '" + (folder_ / "tollserver.pid").string() + "')";
    if (std::system(command.c_str()) != 0)
      std::fprintf(stderr, "road_bench: %s\n", command.c_str());
  }

  void Tollmachine(const std::string& verb) {
    std::string command = std::string(TOLLGATE_TOLLMACHINE) + " --machine '" + folder_.string() +
                          "' " + verb + " >/dev/null";
    if (std::system(command.c_str()) != 0)
      std::fprintf(stderr, "road_bench: %s\n", command.c_str());
  }

  static long Status(const std::string& key) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    }
    return -1;
  }

  // "2026-12-10T13:17:41.171Z" as seconds of the day (runs do not cross midnight here).
  static double Seconds(const std::string& line) {
    std::size_t at = line.find("\"time\":\"");
    if (at == std::string::npos) return 0;
    int h = 0, m = 0;
    double s = 0;
    std::sscanf(line.c_str() + at + 8 + 11, "%d:%d:%lf", &h, &m, &s);
    return h * 3600.0 + m * 60.0 + s;
  }
  static std::string Field(const std::string& line, const std::string& name) {
    std::string tag = "\"" + name + "\":";
    std::size_t at = line.find(tag);
    if (at == std::string::npos) return "";
    at += tag.size();
    if (line[at] == '"') return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(",}", at) - at);
  }

  Timing Read() {
    Timing t;
    std::map<std::pair<std::string, std::string>, double> spooled;
    std::map<std::pair<std::string, std::string>, bool> released;
    auto server = app_->ServerTimes();
    std::ifstream in(folder_ / "spooler.jsonl");
    for (std::string line; std::getline(in, line);) {
      std::string event = Field(line, "event");
      auto key = std::make_pair(Field(line, "queue"), Field(line, "job"));
      double at = Seconds(line);
      if (event == "submitted" && t.firstSubmitted == 0) t.firstSubmitted = at;
      if (event == "spooled") spooled[key] = at;
      if (event == "printing" && !released[key]) ++t.undecided;
      if (event != "resumed") continue;  // only the agent resumes jobs here
      released[key] = true;
      ++t.resumed;
      t.lastResumed = std::max(t.lastResumed, at);
      auto s = spooled.find(key);
      if (s == spooled.end()) continue;
      double latency = (at - s->second) * 1000.0;
      t.latency.push_back(latency);
      std::wstring queue(key.first.begin(), key.first.end());
      auto found = server.find({queue, static_cast<DWORD>(std::stoul(key.second))});
      if (found != server.end()) {
        t.server.push_back(found->second);
        t.agent.push_back(std::max(0.0, latency - found->second));
      }
    }
    return t;
  }

  int queues_;
  bool external_;
  std::filesystem::path folder_;
  std::thread machine_;
  std::shared_ptr<platform::sim::Machine> client_;
  std::shared_ptr<platform::Platform> previous_;
  std::unique_ptr<tollserver::Ledger> ledger_;
  std::shared_ptr<tollserver::Service> service_;
  std::unique_ptr<rpc::Server> server_;  // made once the machine is the platform
  std::unique_ptr<TimedApplication> app_;
  std::vector<std::string> files_;
  bool ok_ = false;
};

double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

void BM_Road(benchmark::State& state) {
  int queues = static_cast<int>(state.range(0));
  int jobs = static_cast<int>(state.range(1));
  int perSecond = static_cast<int>(state.range(2));
  for (auto _ : state) {
    Road road(queues);
    if (!road.Started()) {
      state.SkipWithError("the agent did not start");
      return;
    }
    road.Print(0, jobs, perSecond);
    Road::Timing t = road.WaitAndRead(static_cast<std::size_t>(jobs), 300);
    state.counters["released"] = static_cast<double>(t.resumed);
    double seconds = t.lastResumed - t.firstSubmitted;
    state.counters["jobs_per_s"] = seconds > 0 ? jobs / seconds : 0;
    state.counters["latency_median_ms"] = Quantile(t.latency, 0.5);
    state.counters["latency_p99_ms"] = Quantile(t.latency, 0.99);
    state.counters["server_median_ms"] = Quantile(t.server, 0.5);
    state.counters["server_p99_ms"] = Quantile(t.server, 0.99);
    state.counters["agent_median_ms"] = Quantile(t.agent, 0.5);
    state.counters["agent_p99_ms"] = Quantile(t.agent, 0.99);
    state.counters["printed_undecided"] = static_cast<double>(t.undecided);
    if (t.resumed < static_cast<std::size_t>(jobs)) state.SkipWithError("jobs were not released");
  }
}
// Arguments: queues, jobs, jobs a second (0: a burst, which gives the throughput; a steady
// rate gives the delay of a job that does not wait behind others).
BENCHMARK(BM_Road)
    ->Args({4, 400, 0})
    ->Args({1, 1000, 0})
    ->Args({4, 2000, 0})
    ->Args({16, 4000, 0})
    ->Args({1, 1000, 100})
    ->Args({4, 2000, 200})
    ->Args({16, 4000, 400})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

void BM_RoadSoak(benchmark::State& state) {
  // At the rate the simulated printers print (one job each 50 ms on the machine), so that the
  // queues do not fill up and what is measured is the agent's steady state.
  const int perSecond = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Road road(16, true);
    if (!road.Started()) {
      state.SkipWithError("the agent did not start");
      return;
    }
    road.KeepServerTimes(false);
    road.Print(0, 1000, perSecond);
    road.WaitAndRead(1000, 300);
    state.counters["rss_kb_at_1000"] = static_cast<double>(road.RssKb());
    state.counters["threads_at_1000"] = static_cast<double>(road.Threads());
    for (int done = 1000; done < 10000; done += 3000) {
      road.Print(done, 3000, perSecond);
      road.WaitAndRead(static_cast<std::size_t>(done + 3000), 600);
      if (done + 3000 < 10000) {
        state.counters["rss_kb_at_" + std::to_string(done + 3000)] =
            static_cast<double>(road.RssKb());
      }
    }
    Road::Timing t = road.WaitAndRead(10000, 600);
    state.counters["rss_kb_at_10000"] = static_cast<double>(road.RssKb());
    state.counters["threads_at_10000"] = static_cast<double>(road.Threads());
    state.counters["released"] = static_cast<double>(t.resumed);
    state.counters["printed_undecided"] = static_cast<double>(t.undecided);
  }
}
BENCHMARK(BM_RoadSoak)->Arg(19)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
