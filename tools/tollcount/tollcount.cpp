#include "tools/tollcount/tollcount.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <exception>
#include <memory>
#include <random>

#include "gatelib/printing/job_data.h"
#include "gatelib/printing/spool_analyzer.h"
#include "gatelib/printing/text_analyzer.h"
#include "platform/platform.h"
#include "shared/error/errors.h"
#include "shared/error/format.h"

namespace tollgate::tollcount {
namespace {

namespace printing = gatelib::printing;
using printing::PrinterLanguage;

constexpr const wchar_t* kUsage =
    L"Usage: tollcount [options] FILE...\n"
    L"Counts the pages, copies, colour and duplex of spool files (\"-\" reads standard input).\n"
    L"  --json            one JSON object per file and line\n"
    L"  --text            count plain text (pages by form feeds or lines)\n"
    L"  --lines N         lines per page of plain text (default 66)\n"
    L"  --language NAME   try this language first, from the start of the data\n"
    L"Exit status: 0 every file counted, 1 some not recognised, 2 some could not be read.\n";

std::string Utf8(std::wstring_view text) {
  return platform::system().WideCharToMultiByte(platform::CP_UTF8, text);
}

void Err(const std::wstring& text) {
  platform::console().WriteErrWide(text);
}

std::wstring Trimmed(std::wstring text) {
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    text.pop_back();
  return text;
}

// A positive decimal number of at most six digits.
std::optional<int> LinesValue(const std::wstring& text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  int value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = value * 10 + (c - L'0');
  }
  if (value < 1) return std::nullopt;
  return value;
}

// Copies standard input into a new temporary file, whose path it returns: the analysis reads
// a spool file, which it may read twice and seek in.
std::wstring SpoolStandardInput() {
  platform::Files& files = platform::files();
  platform::HANDLE in = files.GetStdHandle(platform::STD_INPUT_HANDLE);
  if (in == platform::INVALID_HANDLE_VALUE) throw new SystemError(L"GetStdHandle", L"tollcount");
  std::wstring folder;
  if (!files.GetTempPathW(&folder)) throw new SystemError(L"GetTempPathW", L"tollcount");
  std::random_device seed;
  std::mt19937 random(seed());
  std::wstring path;
  platform::HANDLE out = platform::INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 16 && out == platform::INVALID_HANDLE_VALUE; ++attempt) {
    path = folder + FormatW(L"tollcount-%08x.spl", {static_cast<unsigned>(random())});
    out = files.CreateFileW(path, platform::GENERIC_WRITE, 0, platform::CREATE_NEW);
    if (out == platform::INVALID_HANDLE_VALUE &&
        platform::kernel().GetLastError() != platform::ERROR_FILE_EXISTS) {
      break;
    }
  }
  if (out == platform::INVALID_HANDLE_VALUE) throw new SystemError(L"CreateFileW", L"tollcount");
  struct Closer {
    platform::HANDLE handle;
    ~Closer() { platform::kernel().CloseHandle(handle); }
  } closer{out};
  try {
    std::vector<char> buffer(65536);
    for (;;) {
      platform::DWORD got = 0;
      if (!files.ReadFile(in, buffer.data(), static_cast<platform::DWORD>(buffer.size()), &got)) {
        if (platform::kernel().GetLastError() == platform::ERROR_BROKEN_PIPE) break;
        throw new SystemError(L"ReadFile", L"tollcount");
      }
      if (got == 0) break;
      platform::DWORD written = 0;
      if (!files.WriteFile(out, buffer.data(), got, &written))
        throw new SystemError(L"WriteFile", L"tollcount");
    }
  } catch (...) {
    files.DeleteFileW(path);
    throw;
  }
  return path;
}

// "cannot read: <system text> (error <code> at <what>, <where>)" for a Windows error.
std::wstring Describe(const Error& error) {
  const auto* system = dynamic_cast<const SystemError*>(&error);
  if (system == nullptr) return L"cannot count: " + Trimmed(error.Message());
  const std::vector<std::wstring>& args = error.Args();
  std::wstring where = args.empty() ? L"" : args[0];
  if (error.Id() == 0 && args.size() > 1) where += L", " + args[1];
  std::wstring text = Trimmed(system->SystemText());
  return L"cannot read: " + (text.empty() ? L"Windows error" : text) +
         FormatW(L" (error %u at %s)", {static_cast<unsigned>(error.Code()), where});
}

std::string JsonLine(const std::wstring& file, const FileCount& count) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  auto text = [&](const char* key, std::wstring_view value) {
    std::string bytes = Utf8(value);
    w.Key(key);
    w.String(bytes.data(), static_cast<rapidjson::SizeType>(bytes.size()));
  };
  auto optional = [&](const char* key, const std::optional<std::uint16_t>& value) {
    w.Key(key);
    if (value)
      w.Uint(*value);
    else
      w.Null();
  };
  const printing::JobCounts& c = count.counts;
  w.StartObject();
  text("file", file);
  w.Key("result");
  w.Int(count.result);
  text("language", printing::LanguageName(c.language));
  w.Key("pages");
  w.Int(c.pages);
  w.Key("copies");
  w.Int(c.copies);
  w.Key("holdMode");
  w.Int(c.holdMode);
  w.Key("colourKnown");
  w.Bool(c.colourKnown);
  w.Key("colour");
  w.Bool(c.colour);
  w.Key("duplex");
  w.Bool(c.duplex);
  w.Key("colourPages");
  w.Int(c.colourPages);
  w.Key("monoPages");
  w.Int(c.monoPages);
  text("paperName", c.paperName);
  text("documentName", c.documentName);
  optional("mediaSize", c.mediaSize);
  optional("measure", c.measure);
  optional("unitsPerMeasureX", c.unitsPerMeasureX);
  optional("unitsPerMeasureY", c.unitsPerMeasureY);
  optional("orientation", c.orientation);
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::string Row(const std::wstring& file, const FileCount& count) {
  const printing::JobCounts& c = count.counts;
  const wchar_t* colour = !c.colourKnown ? L"unknown" : c.colour ? L"yes" : L"no";
  const wchar_t* result = count.result == printing::analysis::kCounted    ? L"counted"
                          : count.result == printing::analysis::kUnusable ? L"unusable"
                                                                          : L"not recognised";
  return Utf8(FormatW(L"%s\t%s\t%d\t%d\t%s\t%s\t%s\n",
                      {file, printing::LanguageName(c.language), c.pages, c.copies, colour,
                       c.duplex ? L"yes" : L"no", result}));
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::wstring>& argv, std::wstring* error) {
  Options options;
  bool linesGiven = false;
  bool languageGiven = false;
  bool filesOnly = false;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    const std::wstring& arg = argv[i];
    if (filesOnly || arg == L"-" || arg.empty() || arg[0] != L'-') {
      options.files.push_back(arg);
      continue;
    }
    std::wstring name = arg;
    std::optional<std::wstring> value;
    if (std::size_t eq = arg.find(L'='); eq != std::wstring::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    auto takeValue = [&]() -> std::optional<std::wstring> {
      if (value) return value;
      if (i + 1 < argv.size()) return argv[++i];
      *error = name + L" needs a value";
      return std::nullopt;
    };
    if (arg == L"--") {
      filesOnly = true;
    } else if (arg == L"--json") {
      options.json = true;
    } else if (arg == L"--text") {
      options.text = true;
    } else if (arg == L"--help" || arg == L"-h") {
      options.help = true;
    } else if (name == L"--lines") {
      std::optional<std::wstring> text = takeValue();
      if (!text) return std::nullopt;
      std::optional<int> lines = LinesValue(*text);
      if (!lines) {
        *error = L"--lines needs a number of lines from 1 to 999999, not \"" + *text + L"\"";
        return std::nullopt;
      }
      options.linesPerPage = *lines;
      linesGiven = true;
    } else if (name == L"--language") {
      std::optional<std::wstring> text = takeValue();
      if (!text) return std::nullopt;
      std::optional<PrinterLanguage> language = printing::LanguageFromName(*text);
      if (!language) {
        std::wstring names;
        for (int v = 1; v < printing::kPrinterLanguageCount; ++v)
          names += (v > 1 ? L" " : L"") + printing::LanguageName(static_cast<PrinterLanguage>(v));
        *error = L"unknown language \"" + *text + L"\"; the languages are " + names;
        return std::nullopt;
      }
      options.initialLanguage = *language;
      languageGiven = true;
    } else {
      *error = L"unknown option " + arg;
      return std::nullopt;
    }
  }
  if (options.help) return options;
  if (linesGiven && !options.text) {
    *error = L"--lines counts plain text: give --text with it";
    return std::nullopt;
  }
  if (languageGiven && options.text) {
    *error = L"--language and --text exclude each other";
    return std::nullopt;
  }
  if (options.files.empty()) {
    *error = L"no file given";
    return std::nullopt;
  }
  return options;
}

FileCount CountFile(const std::wstring& path, const Options& options) {
  FileCount count;
  printing::PageEndList pageEnds;
  std::unique_ptr<printing::JobAnalyzer> analyzer;
  if (options.text) {
    analyzer =
        std::make_unique<printing::TextAnalyzer>(printing::kSpoolBufferSize, options.linesPerPage);
  } else {
    analyzer = std::make_unique<printing::SpoolAnalyzer>(printing::kSpoolBufferSize,
                                                         options.initialLanguage, pageEnds);
  }
  count.result = analyzer->Open(path, nullptr);
  count.counts = analyzer->Counts();
  return count;
}

int TollcountMain(const std::vector<std::wstring>& argv) {
  std::wstring error;
  std::optional<Options> options = ParseOptions(argv, &error);
  if (!options) {
    Err(L"tollcount: " + error + L"\n" + kUsage);
    return 2;
  }
  if (options->help) {
    platform::console().WriteOutWide(kUsage);
    return 0;
  }
  if (!options->json)
    platform::console().WriteOut("file\tlanguage\tpages\tcopies\tcolour\tduplex\tresult\n");
  bool unreadable = false;
  bool uncounted = false;
  for (const std::wstring& file : options->files) {
    std::wstring spooled;
    try {
      if (file == L"-") spooled = SpoolStandardInput();
      FileCount count = CountFile(spooled.empty() ? file : spooled, *options);
      if (!spooled.empty()) platform::files().DeleteFileW(spooled);
      uncounted |= count.result != printing::analysis::kCounted;
      platform::console().WriteOut(options->json ? JsonLine(file, count) : Row(file, count));
      continue;
    } catch (Error* e) {
      std::unique_ptr<Error> owned(e);
      Err(L"tollcount: " + file + L": " + Describe(*e) + L"\n");
    } catch (const std::exception& e) {
      Err(L"tollcount: " + file + L": cannot count: " +
          platform::system().MultiByteToWideChar(platform::CP_ACP, e.what()) + L"\n");
    }
    if (!spooled.empty()) platform::files().DeleteFileW(spooled);
    unreadable = true;
  }
  return unreadable ? 2 : uncounted ? 1 : 0;
}

}  // namespace tollgate::tollcount
