#include "gatelib/printing/document_readers.h"

#include <algorithm>
#include <limits>

#include "shared/error/errors.h"
#include "shared/error/file_log.h"

namespace gatelib::printing {
namespace {

void Rewind(JobData& data, const wchar_t* place) {
  if (data.Rewind() < 0) throw new SystemError(L"file.Seek", place);
}

// What the tags of an XML document say, read from the file's start by a JobData of its own.
class XmlTags : public JobData {
 public:
  XmlTags() : JobData(kSpoolBufferSize) {}

  enum class Form { None, Ivec, Xpif };
  Form form = Form::None;
  bool impressionsBad = false;  // the last impression count was no number
  int impressions = 0;
  bool colourKnown = false;
  bool colour = false;
  bool duplex = false;

 protected:
  int Analyze() override {
    std::string tag;
    bool inTag = false;
    bool dropped = false;  // the tag grew too long and is passed over
    std::uint8_t byte = 0;
    while (GetNextChar(byte)) {
      if (byte == '<') {
        inTag = true;
        dropped = false;
        tag.clear();
        continue;
      }
      if (!inTag) continue;
      if (byte != '>') {
        if (!dropped) tag.push_back(static_cast<char>(byte));
        if (tag.size() >= 256) {
          dropped = true;
          tag.clear();
        }
        continue;
      }
      inTag = false;
      if (dropped) continue;
      if (form == Form::None) {
        if (tag.find("cmd xmlns:ivec") != std::string::npos) {
          form = Form::Ivec;
        } else if (tag.find("!DOCTYPE xpif") != std::string::npos) {
          form = Form::Xpif;
          return 0;
        }
        continue;
      }
      if (tag == "ivec:impression_num") {
        std::string digits;
        while (digits.size() < 12 && GetNextChar(byte) && byte >= '0' && byte <= '9')
          digits.push_back(static_cast<char>(byte));
        if (digits.size() < 12 && !digits.empty()) Skip(-1);
        impressionsBad = digits.empty();
        if (!digits.empty()) {
          const long long value = std::stoll(digits);
          impressions =
              static_cast<int>(std::min<long long>(value, std::numeric_limits<int>::max()));
        }
      } else if (tag == "ivec:printcolormode" || tag == "ivec:duplexprint") {
        std::string text;
        while (text.size() < 255 && GetNextChar(byte) && byte != '<') {
          text.push_back(static_cast<char>(byte));
        }
        if (byte == '<') Skip(-1);
        if (tag == "ivec:printcolormode") {
          colourKnown = true;
          colour = text == "color";
        } else {
          duplex = text == "ON";
        }
      }
    }
    return 0;
  }
};

}  // namespace

bool JobTicketReader::Read(JobData& source) {
  SetSource(source);
  std::string token;
  if (!FindText("<!DOCTYPE") || !ReadToken(token) || token != "xpif") return false;
  if (FindText("<color-effects-type syntax=\"keyword\">") && ReadToken(token)) {
    colour = token == "color";
  }
  Rewind(source, L"JobTicketReader::Read");
  if (FindText("<copies syntax=\"integer\">") && ReadToken(token)) copies = DecimalValue(token);
  Rewind(source, L"JobTicketReader::Read");
  if (FindText("<job-name syntax=\"name\" xml:space=\"preserve\">")) {
    std::string name;
    std::uint8_t byte = 0;
    while (GetNextChar(byte) && byte != '<') {
      if (name.size() < kMaxTokenBytes) name.push_back(static_cast<char>(byte));
    }
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!name.empty() && blank(name.back())) name.pop_back();
    std::size_t first = 0;
    while (first < name.size() && blank(name[first])) ++first;
    documentName = WidenBytes(std::string_view(name).substr(first));
  }
  Rewind(source, L"JobTicketReader::Read");
  if (FindText("</xpif>")) {
    std::uint8_t byte = 0;
    if (GetNextChar(byte) && byte != '\n') Skip(-1);
  }
  colourKnown = true;
  return true;
}

bool XmlDocumentReader::Read(JobData& source) {
  SetSource(source);
  XmlTags tags;
  try {
    tags.Open(source.Path(), source.Job());
  } catch (SystemError* error) {
    delete error;
    tollgate::Log(L"an error happened accessing the stream");
    verdict = ReaderVerdict::Unusable;
    return true;
  }
  switch (tags.form) {
    case XmlTags::Form::None:
      verdict = ReaderVerdict::Unusable;
      return true;
    case XmlTags::Form::Ivec:
      // An impression count that is not a number leaves nothing usable.
      verdict = tags.impressionsBad ? ReaderVerdict::Unusable : ReaderVerdict::Counted;
      if (tags.impressionsBad) return true;
      pages = tags.impressions;
      copies = 1;
      colourKnown = tags.colourKnown;
      colour = tags.colour;
      duplex = tags.duplex;
      return true;
    case XmlTags::Form::Xpif:
      break;
  }
  JobTicketReader ticket;
  if (!ticket.Read(source)) return false;
  copies = ticket.copies;
  colourKnown = true;
  colour = ticket.colour;
  documentName = ticket.documentName;
  return true;
}

bool ZjStreamReader::Read(JobData& source) {
  SetSource(source);
  for (;;) {
    std::uint32_t length = 0;
    std::uint32_t type = 0;
    std::uint8_t first = 0;
    if (!GetNextChar(first)) return true;  // the end of the data between records
    Skip(-1);
    if (first == kEscape && UniversalExitAhead()) return true;
    if (!ReadU32(length) || !ReadU32(type) || length < 8) return false;
    switch (type) {
      case 1:  // end of the document
        Skip(static_cast<std::int64_t>(length) - 8);
        return true;
      case 2: {  // start of a page: its items say the copies and the colour planes
        std::uint32_t items = 0;
        std::uint32_t skip = 0;
        if (length < 16 || !ReadU32(items) || !ReadU32(skip)) return false;
        std::int64_t left = static_cast<std::int64_t>(length) - 16;
        // Items: a 32-bit size (12 or more), a 16-bit item, its kind and a 32-bit value.
        for (std::uint32_t k = 0; k < items && left >= 12; ++k) {
          std::uint32_t size = 0;
          std::uint16_t item = 0;
          std::uint32_t value = 0;
          std::uint16_t kind = 0;
          if (!ReadU32(size) || !ReadU16(item) || !ReadU16(kind) || !ReadU32(value)) return false;
          if (size < 12 || size > left) return false;
          left -= size;
          Skip(static_cast<std::int64_t>(size) - 12);
          if (item == 4 && value > 0 && value <= 32767) {  // copies
            copies = std::max(copies, static_cast<int>(value));
          } else if (item == 7) {  // colour planes: four for a colour page
            colourKnown = true;
            if (value > 1) colour = true;
          }
        }
        Skip(left);
        break;
      }
      case 3:  // end of a page
        if (pages < std::numeric_limits<int>::max()) ++pages;
        Skip(static_cast<std::int64_t>(length) - 8);
        break;
      default:
        if (type > 10) return false;  // a record this stream does not have
        Skip(static_cast<std::int64_t>(length) - 8);
        break;
    }
  }
}

bool XeroxHeaderReader::Read(JobData& source) {
  SetSource(source);
  // Detection goes on at the first byte after the header's end and its separators.
  if (FindText("%%XRXend")) SkipSeparators();
  return true;
}

bool EjlHeaderReader::Read(JobData& source) {
  SetSource(source);
  while (MatchText("@EJL ")) {
    if (!SkipPast('\n')) return false;
  }
  return true;
}

}  // namespace gatelib::printing
