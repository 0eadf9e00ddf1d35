// Throughput of the PCL XL reader beside JobData's plain byte loop over the same file.
//
// The file (TOLLGATE_PCLXL_BENCH_MB megabytes, default 500) is made once in the temporary
// folder and is in the page cache when the benchmarks run. Its pages are those the reader works
// hardest on: vector painting in grey, uncompressed RGB images of grey pixels (every pixel
// tested) and delta-row images of grey rows (every row decoded); every fourth page ends with an
// RLE image in colour. Rates are per second of CPU time.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gatelib/printing/job_data.h"
#include "gatelib/printing/pclxl_reader.h"
#include "platform/sim/machine.h"

namespace {

namespace fs = std::filesystem;
using gatelib::printing::JobData;
using gatelib::printing::kSpoolBufferSize;

std::uint64_t PclXlMegabytes() {
  const char* text = std::getenv("TOLLGATE_PCLXL_BENCH_MB");
  long value = text != nullptr ? std::atol(text) : 0;
  return value > 0 ? static_cast<std::uint64_t>(value) : 500;
}

void Put16(std::string& s, std::uint32_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8 & 0xFF));
}
void Put32(std::string& s, std::uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}
void Scalar(std::string& s, std::uint8_t value, std::uint8_t attribute) {
  s += '\xC0';
  s.push_back(static_cast<char>(value));
  s += '\xF8';
  s.push_back(static_cast<char>(attribute));
}
void Image(std::string& s, std::uint8_t compression, const std::string& data) {
  Scalar(s, 0, 0x64);  // ColorMapping direct
  s += '\xB0';         // BeginImage
  Scalar(s, compression, 0x65);
  s += '\xB1';  // ReadImage
  s += '\xFA';
  Put32(s, static_cast<std::uint32_t>(data.size()));
  s += data;
  s += '\xB2';  // EndImage
}

// A page of painting in grey; with `images` also the grey images (and in `colour` a colour one).
std::string Page(bool colour, bool images) {
  std::string s;
  Scalar(s, 2, 0x25);  // MediaSize A4
  Scalar(s, 0, 0x28);  // Orientation
  s += '\x43';         // BeginPage
  for (int k = 0; k < (images ? 2000 : 20000); ++k) {
    const auto grey = static_cast<char>(k % 256);
    s += "\xC8\xC1\x03";
    s += '\x00';
    s += std::string(3, grey);
    s += "\xF8\x0B\x63";  // RGBColor, SetBrushSource
    s += "\xE1";          // uint16 box
    Put16(s, k);
    Put16(s, k);
    Put16(s, k + 10);
    Put16(s, k + 10);
    s += "\xF8\x42\x86";  // BoundingBox, Rectangle
  }
  if (!images) {
    s += '\x44';
    return s;
  }
  std::string pixels;
  for (int k = 0; k < 300000; ++k) pixels += std::string(3, static_cast<char>(k * 7));
  Image(s, 0, pixels);
  std::string rows;
  for (int row = 0; row < 3000; ++row) {
    std::string body;
    for (int k = 0; k < 25; ++k) {
      body += '\x40';  // three replacement bytes
      body += std::string(3, static_cast<char>(row + k));
    }
    Put16(rows, static_cast<std::uint32_t>(body.size()));
    rows += body;
  }
  Image(s, 3, rows);
  if (colour) Image(s, 1, std::string(200000, '\x55'));
  s += '\x44';  // EndPage
  return s;
}

fs::path MakePclXlFile(bool images) {
  {
    const std::uint64_t bytes = PclXlMegabytes() << 20;
    fs::path p = fs::temp_directory_path() / ("tollgate-bench-" + std::to_string(PclXlMegabytes()) +
                                              (images ? "M.pxl" : "M-vectors.pxl"));
    std::error_code ec;
    if (!fs::exists(p, ec) || fs::file_size(p, ec) < bytes) {
      std::ofstream out(p, std::ios::binary);
      const std::string mono = Page(false, images);
      const std::string colour = Page(true, images);
      std::string head = "\x1b%-12345X@PJL ENTER LANGUAGE=PCLXL\n) HP-PCL XL;2;0\n";
      head += std::string("\xD1\x2C\x01\x2C\x01\xF8\x89\xC0\x00\xF8\x86\x41",
                          12);  // units, measure, session
      out << head;
      std::uint64_t written = head.size();
      for (int page = 0; written < bytes; ++page) {
        const std::string& p2 = page % 4 == 3 ? colour : mono;
        out << p2;
        written += p2.size();
      }
      out << "\x42\x1b%-12345X";
    }
    return p;
  }
}

// Pages with images, and pages of vector painting only.
const fs::path& PclXlFile() {
  static const fs::path path = MakePclXlFile(true);
  return path;
}
const fs::path& VectorFile() {
  static const fs::path path = MakePclXlFile(false);
  return path;
}

void PclXlSetup() {
  static bool done = [] {
    platform::Install(std::make_shared<platform::sim::Machine>(fs::temp_directory_path() /
                                                               "tollgate-bench-machine"));
    for (const fs::path& file : {PclXlFile(), VectorFile()}) {
      std::ifstream warm(file, std::ios::binary);
      std::vector<char> block(1 << 20);
      while (warm.read(block.data(), static_cast<std::streamsize>(block.size())) ||
             warm.gcount() > 0) {
      }
    }
    return true;
  }();
  benchmark::DoNotOptimize(done);
}

class Body : public JobData {
 public:
  explicit Body(std::function<void(JobData&)> body)
      : JobData(kSpoolBufferSize), body_(std::move(body)) {}

 protected:
  int Analyze() override {
    body_(*this);
    return 0;
  }

 private:
  std::function<void(JobData&)> body_;
};

std::wstring WidePath(const fs::path& path) {
  std::string s = path.string();
  return std::wstring(s.begin(), s.end());
}

void FileBytes(benchmark::State& state, const fs::path& file) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(fs::file_size(file)));
}

// The plain byte scan of a PCL XL file.
void ByteScan(benchmark::State& state, const fs::path& file) {
  PclXlSetup();
  for (auto _ : state) {
    std::uint64_t sum = 0;
    Body scan([&](JobData& data) {
      std::uint8_t byte = 0;
      std::uint64_t local = 0;
      while (data.GetNextChar(byte)) local += byte;
      sum = local;
    });
    scan.Open(WidePath(file), nullptr);
    benchmark::DoNotOptimize(sum);
  }
  FileBytes(state, file);
}

// The reader's count of the stream after the PJL line.
void ReaderCount(benchmark::State& state, const fs::path& file) {
  PclXlSetup();
  for (auto _ : state) {
    int pages = 0;
    Body count([&](JobData& data) {
      gatelib::printing::SkipPast(data, '\n');
      gatelib::printing::PageEndList ends;
      gatelib::printing::PclXlReader reader(ends);
      reader.Read(data);
      pages = reader.pages;
    });
    count.Open(WidePath(file), nullptr);
    if (pages == 0) state.SkipWithError("no pages counted");
    state.counters["pages"] = pages;
  }
  FileBytes(state, file);
}

void BM_PclXlFileGetNextChar(benchmark::State& state) {
  ByteScan(state, PclXlFile());
}
void BM_PclXlReaderCount(benchmark::State& state) {
  ReaderCount(state, PclXlFile());
}
void BM_PclXlVectorFileGetNextChar(benchmark::State& state) {
  ByteScan(state, VectorFile());
}
void BM_PclXlReaderCountVectors(benchmark::State& state) {
  ReaderCount(state, VectorFile());
}
BENCHMARK(BM_PclXlFileGetNextChar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PclXlReaderCount)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PclXlVectorFileGetNextChar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PclXlReaderCountVectors)->Unit(benchmark::kMillisecond);

}  // namespace
