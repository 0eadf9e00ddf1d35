// Each reader on the slowest input that can be made for it, at 64 MB and at 256 MB: the larger
// file must take no more than about four times as long (no path grows faster than the data),
// and every reader must keep at least 100 MB/s.
//
//   PostScript  thousands of small documents, each searching its comments to the end of the data
//   PjlTokens   a PJL header of nothing but settings, a token every few bytes
//   PjlXcpt     an exception section after "@PJL XCPT": a job-ticket attempt per token
//   Pcl5        escape sequences with parameters back to back, row moves and line feeds
//   PclXl       a value, an attribute and an operator every five bytes
//   Pdf, Prescribe, Qpdl, Xqx, Hbp, Bj, Escp2, Lidil, Gdi, Spl, Zimf, CanonIr2200,
//   CanonImageRunner, SharpGdi, Rpcs, Minolta, Xml
//               a page (or the smallest record) every few bytes
//
// The files are made once in the temporary folder and read from the page cache. Rates are per
// second of CPU time.
#include <benchmark/benchmark.h>
#include <zip.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

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
      {"pdf", "%PDF-1.4\n", "<</Type /Page\n>>\n"},
      {"prescribe", "!R! ", "PAGE; "},
      {"qpdl", "\x1b%-12345X@PJL ENTER LANGUAGE=QPDL\n",
       std::string("\x0c\x00\x01\x30\x00\x80\x04\x13\x00\x00\x00\x00\x01\x00\x01", 15)},
      {"xqx", ",XQX", std::string("\x00\x00\x00\x04\x00\x00\x00\x00", 8)},
      {"hbp", "\x1b%-12345X@PJL ENTER LANGUAGE=HBP\n", "@N@F"},
      {"bj", std::string("\x1b[K\x00\x00", 5),
       "\x1b"
       "3x\x0c"},
      {"escp2", "\x1b@", "\x1br\x01\x0c"},
      {"lidil", std::string("$\x00\x0a\x00\x00\x02\x00\x00\x00\x00", 10),
       std::string("$\x00\x0a\x00\x00\x02\x00\x00\x00\x00", 10)},
      {"gdi", "\x1b%-12345X@PJL ENTER LANGUAGE=GDI\n", "\x1b&&"},
      {"spl", "", std::string("DMCS\x00\x00\x00\x00\x03", 9)},
      {"zimf", "",
       std::string("ZIMF\x14\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00", 20)},
      {"canon-ir2200", "\xcd\xca\x10\x01", std::string("\x00\x1a\x00\x00\x00\x01\x0c", 7)},
      {"canon-imagerunner", std::string("\x01\x00\xce\xda\xde\xfa", 6) + std::string(16, '\0'),
       std::string("\x04\x00\x04\x00", 4)},
      {"sharp-gdi", std::string("\x81\x81\x00\x00\x00\x00", 6),
       std::string("\x00\x00\x00\x00\x00\x06", 6)},
      {"rpcs", "\x1b%-12345X@PJL ENTER LANGUAGE=RPCS\n", std::string("\x35\x00\x00", 3)},
      {"minolta", "\xff\x05\xffU" + std::string(1155, 'h'), "\x05\xff\x05"},
      {"xml", "<?xml version=\"1.0\"?><cmd xmlns:ivec=\"x\">",
       "<ivec:impression_num>3</ivec:impression_num>"},
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
    ->ArgsProduct({benchmark::CreateDenseRange(0, 21, 1), {64, 256}})
    ->ArgNames({"reader", "MB"})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// PDF files for the page-tree count with the PDF library (the text names no page, "/Type/Page"
// has no space): 0, a million objects, one page among them; 1, a page tree whose two nodes list
// each other 400 000 times as kids; 2, a file whose cross-reference table claims 3 million
// objects.
fs::path PdfFile(int which) {
  static std::map<int, fs::path> made;
  if (auto it = made.find(which); it != made.end()) return it->second;
  fs::path path = fs::temp_directory_path() / ("tollgate-pdf-" + std::to_string(which) + ".pdf");
  std::vector<std::string> objects{"<</Type/Catalog/Pages 2 0 R>>"};
  if (which == 1) {
    std::string kids2 = "[4 0 R";
    std::string kids3;
    for (int i = 0; i < 400000; ++i) kids2 += " 3 0 R";
    for (int i = 0; i < 400000; ++i) kids3 += " 2 0 R";
    objects.push_back("<</Type/Pages/Count 1/Kids " + kids2 + "]>>");
    objects.push_back("<</Type/Pages/Count 1/Kids [" + kids3 + "]>>");
    objects.push_back("<</Type/Page/Parent 2 0 R>>");
  } else {
    objects.push_back("<</Type/Pages/Count 1/Kids [3 0 R]>>");
    objects.push_back("<</Type/Page/Parent 2 0 R>>");
    const int count = which == 0 ? 1000000 : 3000000;
    while (static_cast<int>(objects.size()) < count) objects.emplace_back("null");
  }
  std::string out = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof(line), "%010zu 00000 n \n", offset);
    out += line;
  }
  out += "trailer\n<</Size " + std::to_string(objects.size() + 1) + "/Root 1 0 R>>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(out.data(), 1, out.size(), f);
  std::fclose(f);
  made[which] = path;
  return path;
}

void BM_PdfPageTree(benchmark::State& state) {
  Setup();
  const fs::path path = PdfFile(static_cast<int>(state.range(0)));
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
  static const char* const names[] = {"million objects", "cyclic tree", "claims 3M objects"};
  state.SetLabel(names[state.range(0)]);
  state.counters["pages"] = pages;
  state.counters["MB"] = static_cast<double>(fs::file_size(path)) / (1 << 20);
}
BENCHMARK(BM_PdfPageTree)->DenseRange(0, 2)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// An XPS package whose print ticket inflates to 1 GB of blanks (about 1 MB in the archive):
// the reader stops reading it after its first megabyte.
fs::path XpsBomb() {
  static const fs::path path = [] {
    fs::path p = fs::temp_directory_path() / "tollgate-xps-bomb.xps";
    if (fs::exists(p)) return p;
    zipFile zip = zipOpen64(p.c_str(), APPEND_STATUS_CREATE);
    const auto entry = [&](const char* name, const std::string& text, int repeat) {
      zip_fileinfo info{};
      zipOpenNewFileInZip64(zip, name, &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 9, 1);
      for (int i = 0; i < repeat; ++i)
        zipWriteInFileInZip(zip, text.data(), static_cast<unsigned>(text.size()));
      zipCloseFileInZip(zip);
    };
    entry("Documents/1/Pages/1.fpage", "<FixedPage/>", 1);
    entry("Metadata/Job_PT.xml", std::string(1 << 20, ' '), 1024);
    zipClose(zip, nullptr);
    return p;
  }();
  return path;
}

void BM_XpsTicketBomb(benchmark::State& state) {
  Setup();
  const std::string narrow = XpsBomb().string();
  const std::wstring wide(narrow.begin(), narrow.end());
  for (auto _ : state) {
    printing::PageEndList ends;
    printing::SpoolAnalyzer analyzer(printing::kSpoolBufferSize, printing::PrinterLanguage::Unknown,
                                     ends);
    if (analyzer.Open(wide, nullptr) != printing::analysis::kCounted)
      state.SkipWithError("not counted");
  }
  state.counters["MB"] = static_cast<double>(fs::file_size(XpsBomb())) / (1 << 20);
}
BENCHMARK(BM_XpsTicketBomb)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
