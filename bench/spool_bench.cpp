// Throughput of reading spool files: a plain standard-library read loop beside JobData's byte
// loop, FindText of a text that does not occur, and tollcount's analysis of whole files.
//
// The files are made once in the temporary folder (TOLLGATE_BENCH_MB megabytes, default 256)
// and are in the page cache when the benchmarks run. Rates are per second of the process's CPU
// time (user and system), which other load on the machine disturbs less than elapsed time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gatelib/printing/job_data.h"
#include "gatelib/printing/stream_reader.h"
#include "platform/sim/machine.h"
#include "tools/tollcount/tollcount.h"

namespace {

namespace fs = std::filesystem;
using gatelib::printing::JobData;
using gatelib::printing::kSpoolBufferSize;

std::uint64_t Megabytes() {
  const char* text = std::getenv("TOLLGATE_BENCH_MB");
  long value = text != nullptr ? std::atol(text) : 0;
  return value > 0 ? static_cast<std::uint64_t>(value) : 256;
}

// A PostScript document of about `bytes` bytes: text pages and hex image data, without ESC.
void WritePostScript(const fs::path& path, std::uint64_t bytes) {
  std::ofstream out(path, std::ios::binary);
  out << "%!PS-Adobe-3.0\n%%Creator: tollgate bench\n%%Pages: (atend)\n%%EndComments\n";
  std::string page;
  for (int line = 0; line < 60; ++line) {
    page += "72 " + std::to_string(720 - line * 11) +
            " moveto (The quick brown fox jumps over the lazy dog, line " + std::to_string(line) +
            ") show\n";
  }
  page += "gsave 100 100 scale 64 64 8 [64 0 0 -64 0 64] {<";
  for (int k = 0; k < 2048; ++k)
    page += "0123456789abcdef"[(k * 7 + k / 16) % 16];
  page += ">} image grestore\nshowpage\n";
  std::uint64_t written = 0;
  int pages = 0;
  while (written < bytes) {
    std::string header =
        "%%Page: " + std::to_string(pages + 1) + " " + std::to_string(pages + 1) + "\n";
    out << header << page;
    written += header.size() + page.size();
    ++pages;
  }
  out << "%%Trailer\n%%Pages: " << pages << "\n%%EOF\n";
}

const fs::path& PostScriptFile() {
  static const fs::path path = [] {
    std::uint64_t bytes = Megabytes() << 20;
    fs::path p =
        fs::temp_directory_path() / ("tollgate-bench-" + std::to_string(Megabytes()) + "M.ps");
    std::error_code ec;
    if (!fs::exists(p, ec) || fs::file_size(p, ec) < bytes)
      WritePostScript(p, bytes);
    return p;
  }();
  return path;
}

const fs::path& ZeroFile() {
  static const fs::path path = [] {
    std::uint64_t bytes = Megabytes() << 20;
    fs::path p =
        fs::temp_directory_path() / ("tollgate-bench-" + std::to_string(Megabytes()) + "M.zero");
    std::error_code ec;
    if (!fs::exists(p, ec) || fs::file_size(p, ec) != bytes) {
      std::ofstream out(p, std::ios::binary);
      std::vector<char> block(1 << 20, '\0');
      for (std::uint64_t done = 0; done < bytes; done += block.size())
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    return p;
  }();
  return path;
}

std::wstring Wide(const fs::path& path) {
  std::string s = path.string();
  return std::wstring(s.begin(), s.end());
}

void Warm(const fs::path& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::vector<char> block(1 << 20);
  while (f != nullptr && std::fread(block.data(), 1, block.size(), f) > 0) {
  }
  if (f != nullptr)
    std::fclose(f);
}

void Setup() {
  static bool done = [] {
    platform::Install(std::make_shared<platform::sim::Machine>(fs::temp_directory_path() /
                                                               "tollgate-bench-machine"));
    Warm(PostScriptFile());
    Warm(ZeroFile());
    return true;
  }();
  benchmark::DoNotOptimize(done);
}

class Scan : public JobData {
 public:
  explicit Scan(std::function<void(JobData&)> body)
      : JobData(kSpoolBufferSize), body_(std::move(body)) {}

 protected:
  int Analyze() override {
    body_(*this);
    return 0;
  }

 private:
  std::function<void(JobData&)> body_;
};

void Bytes(benchmark::State& state, const fs::path& path) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(fs::file_size(path)));
}

// fread of whole windows, nothing done with the bytes.
void BM_FreadWindows(benchmark::State& state) {
  Setup();
  std::vector<unsigned char> block(kSpoolBufferSize);
  for (auto _ : state) {
    std::FILE* f = std::fopen(PostScriptFile().c_str(), "rb");
    std::size_t n;
    std::uint64_t total = 0;
    while ((n = std::fread(block.data(), 1, block.size(), f)) > 0)
      total += n;
    std::fclose(f);
    benchmark::DoNotOptimize(total);
  }
  Bytes(state, PostScriptFile());
}
BENCHMARK(BM_FreadWindows)->Unit(benchmark::kMillisecond);

// std::ifstream read of whole windows and a loop over every byte.
void BM_IfstreamEveryByte(benchmark::State& state) {
  Setup();
  std::vector<char> block(kSpoolBufferSize);
  for (auto _ : state) {
    std::ifstream in(PostScriptFile(), std::ios::binary);
    std::uint64_t sum = 0;
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
      std::size_t n = static_cast<std::size_t>(in.gcount());
      for (std::size_t i = 0; i < n; ++i)
        sum += static_cast<unsigned char>(block[i]);
    }
    benchmark::DoNotOptimize(sum);
  }
  Bytes(state, PostScriptFile());
}
BENCHMARK(BM_IfstreamEveryByte)->Unit(benchmark::kMillisecond);

void BM_GetNextChar(benchmark::State& state) {
  Setup();
  for (auto _ : state) {
    std::uint64_t sum = 0;
    Scan scan([&](JobData& data) {
      std::uint8_t byte = 0;
      std::uint64_t local = 0;
      while (data.GetNextChar(byte))
        local += byte;
      sum = local;
    });
    scan.Open(Wide(PostScriptFile()), nullptr);
    benchmark::DoNotOptimize(sum);
  }
  Bytes(state, PostScriptFile());
}
BENCHMARK(BM_GetNextChar)->Unit(benchmark::kMillisecond);

// FindText of a text that is not in the file, so that the whole file is scanned.
void FindAbsent(benchmark::State& state, const char* text) {
  Setup();
  for (auto _ : state) {
    bool found = true;
    Scan scan([&](JobData& data) { found = gatelib::printing::FindText(data, text); });
    scan.Open(Wide(PostScriptFile()), nullptr);
    if (found)
      state.SkipWithError("the text is in the file");
  }
  Bytes(state, PostScriptFile());
}
void BM_FindTextAbsentUel(benchmark::State& state) {
  FindAbsent(state, "\x1b%-12345X");
}
void BM_FindTextAbsentComment(benchmark::State& state) {
  FindAbsent(state, "\n%%BeginFeature:");
}
BENCHMARK(BM_FindTextAbsentUel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindTextAbsentComment)->Unit(benchmark::kMillisecond);

// tollcount's count of one file, as the program does it.
void Count(benchmark::State& state, const fs::path& path, bool text) {
  Setup();
  tollgate::tollcount::Options options;
  options.text = text;
  for (auto _ : state) {
    auto count = tollgate::tollcount::CountFile(Wide(path), options);
    benchmark::DoNotOptimize(count.result);
  }
  Bytes(state, path);
}
void BM_TollcountPostScript(benchmark::State& state) {
  Count(state, PostScriptFile(), false);
}
void BM_TollcountPostScriptAsText(benchmark::State& state) {
  Count(state, PostScriptFile(), true);
}
void BM_TollcountZeros(benchmark::State& state) {
  Count(state, ZeroFile(), false);
}
BENCHMARK(BM_TollcountPostScript)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TollcountPostScriptAsText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TollcountZeros)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
