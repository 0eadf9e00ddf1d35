// Each reader on the slowest input that can be made for it, at 64 MB and at 256 MB: the larger
// file must take no more than about four times as long (no path grows faster than the data),
// and every reader must keep at least 100 MB/s.
//
//   PostScript  thousands of small documents, each searching its comments to the end of the data
//   PjlTokens   a PJL header of nothing but settings, a token every few bytes
//   PjlXcpt     an exception section after "@PJL XCPT": a job-ticket attempt per token
//   Pcl5        escape sequences with parameters back to back, row moves and line feeds
//   PclXl       a value, an attribute and an operator every five bytes
//
// The files are made once in the temporary folder and read from the page cache. Rates are per
// second of CPU time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "gatelib/printing/spool_analyzer.h"
#include "platform/platform.h"
#include "platform/sim/machine.h"

namespace {

namespace fs = std::filesystem;
namespace printing = gatelib::printing;

struct Shape {
  const char* name;
  std::string head;  // once at the start
  std::string unit;  // repeated to the size
};

const Shape& ShapeOf(int which) {
  static const Shape shapes[] = {
      {"postscript", "",
       "%!PS-Adobe-3.0\n%%Pages: (atend)\n%%Page: 1 1\nshowpage\n%%PageTrailer\n\x1b%-12345X"},
      {"pjl-tokens", "\x1b%-12345X", "@PJL SET COPIES=2 QTY=1 DUPLEX=ON\n"},
      {"pjl-xcpt", "\x1b%-12345X@PJL XCPT ", "<a b=\"c\"/> "},
      {"pcl5",
       "\x1b"
       "E",
       "\x1b&l1x6d2e66F\x1b*p100Y\x1b&a+1R\x1b(s0p12h10v0s0b3T\n"},
      {"pclxl", "@PJL ENTER LANGUAGE=PCLXL\n) HP-PCL XL;2;0\n",
       std::string("\xC0\x01\xF8\x03\x6A", 5)},
  };
  return shapes[which];
}

fs::path File(int which, std::int64_t megabytes) {
  static std::map<std::pair<int, std::int64_t>, fs::path> made;
  auto key = std::make_pair(which, megabytes);
  if (auto it = made.find(key); it != made.end()) return it->second;
  const Shape& shape = ShapeOf(which);
  fs::path path = fs::temp_directory_path() / ("tollgate-worst-" + std::string(shape.name) + "-" +
                                               std::to_string(megabytes) + ".spl");
  const std::int64_t size = megabytes << 20;
  if (!fs::exists(path) || static_cast<std::int64_t>(fs::file_size(path)) < size) {
    std::string block;
    while (block.size() < (1u << 20)) block += shape.unit;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(shape.head.data(), 1, shape.head.size(), f);
    for (std::int64_t written = 0; written < size;
         written += static_cast<std::int64_t>(block.size()))
      std::fwrite(block.data(), 1, block.size(), f);
    std::fclose(f);
  }
  made[key] = path;
  return path;
}

void Setup() {
  static bool done = [] {
    platform::Install(std::make_shared<platform::sim::Machine>(fs::temp_directory_path() /
                                                               "tollgate-bench-machine"));
    return true;
  }();
  benchmark::DoNotOptimize(done);
}

void BM_WorstCase(benchmark::State& state) {
  Setup();
  const int which = static_cast<int>(state.range(0));
  const fs::path path = File(which, state.range(1));
  const std::string narrow = path.string();
  const std::wstring wide(narrow.begin(), narrow.end());
  int pages = 0;
  for (auto _ : state) {
    printing::PageEndList ends;
    printing::SpoolAnalyzer analyzer(printing::kSpoolBufferSize, printing::PrinterLanguage::Unknown,
                                     ends);
    if (analyzer.Open(wide, nullptr) != printing::analysis::kCounted)
      state.SkipWithError("not counted");
    pages = analyzer.Counts().pages;
  }
  state.SetLabel(ShapeOf(which).name);
  state.counters["pages"] = pages;
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(path)));
}
BENCHMARK(BM_WorstCase)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {64, 256}})
    ->ArgNames({"reader", "MB"})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace
