#include "gatelib/printing/pdf_reader.h"

#include <algorithm>
#include <limits>

#include "shared/error/errors.h"

namespace gatelib::printing {

bool PdfReader::Read(JobData& source) {
  SetSource(source);
  const std::int64_t found = CountText(source, "/Type /Page\n");
  pages = static_cast<int>(std::min<std::int64_t>(found, std::numeric_limits<int>::max()));
  if (source.Rewind() < 0) throw new SystemError(L"file.Seek", L"PdfReader::Read");
  std::string token;
  if (FindText("copies:") && ReadToken(token)) {
    const int value = DecimalValue(token);
    if (value > 0) copies = value;
  }
  if (pages == 0) {
    const std::optional<std::int64_t> tree = PdfPageTreeCount(source.Path());
    if (tree && *tree > 0) {
      pages = static_cast<int>(std::min<std::int64_t>(*tree, std::numeric_limits<int>::max()));
    }
  }
  return true;
}

}  // namespace gatelib::printing
