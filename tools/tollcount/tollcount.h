// tollcount: counts spool files with the agent's analysis, from the command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "gatelib/printing/job_counts.h"
#include "gatelib/printing/printer_language.h"

namespace tollgate::tollcount {

struct Options {
  bool json = false;
  bool text = false;      // plain text (TextAnalyzer) instead of language detection
  int linesPerPage = 66;  // of plain text
  gatelib::printing::PrinterLanguage initialLanguage = gatelib::printing::PrinterLanguage::Unknown;
  std::vector<std::wstring> files;  // "-" is standard input
  bool help = false;
};

// The options of an argument vector (the program name first); nullopt with `error` set when
// the command line is wrong.
std::optional<Options> ParseOptions(const std::vector<std::wstring>& argv, std::wstring* error);

struct FileCount {
  int result = 0;  // the analysis result (gatelib::printing::analysis)
  gatelib::printing::JobCounts counts;
};

// Analyses the file at `path` as the options say. The analysis's errors (SystemError and the
// other Errors, thrown by pointer) pass through.
FileCount CountFile(const std::wstring& path, const Options& options);

// The program: one row (or JSON object) per file on standard output, a message on standard
// error for each file that cannot be read. Exit status 0 when every file was counted, 1 when
// some were not recognised, 2 when some could not be read or the command line is wrong.
int TollcountMain(const std::vector<std::wstring>& argv);

}  // namespace tollgate::tollcount
