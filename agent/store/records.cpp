#include "agent/store/records.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cmath>

#include "gatelib/printing/printer_language.h"

namespace tollgate::store {
namespace {

namespace pt = boost::posix_time;

void PutU32(std::string* r, std::size_t offset, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) (*r)[offset + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
std::uint32_t GetU32(const std::string& r, std::size_t offset) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v |= std::uint32_t(static_cast<unsigned char>(r[offset + i])) << (8 * i);
  return v;
}
void PutI32(std::string* r, std::size_t offset, std::int32_t v) {
  PutU32(r, offset, static_cast<std::uint32_t>(v));
}
std::int32_t GetI32(const std::string& r, std::size_t offset) {
  return static_cast<std::int32_t>(GetU32(r, offset));
}
void PutI64(std::string* r, std::size_t offset, std::int64_t v) {
  auto u = static_cast<std::uint64_t>(v);
  PutU32(r, offset, static_cast<std::uint32_t>(u));
  PutU32(r, offset + 4, static_cast<std::uint32_t>(u >> 32));
}
std::int64_t GetI64(const std::string& r, std::size_t offset) {
  return static_cast<std::int64_t>(std::uint64_t(GetU32(r, offset)) |
                                   (std::uint64_t(GetU32(r, offset + 4)) << 32));
}

// UTF-16LE of at most `chars` code units, then zeros to the end of the field.
void PutText(std::string* r, std::size_t offset, std::size_t fieldBytes, const std::wstring& text) {
  std::u16string units;
  for (wchar_t c : text) {
    auto cp = static_cast<std::uint32_t>(c);
    if (sizeof(wchar_t) == 4 && cp > 0xFFFF) {
      cp -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(cp));
    }
  }
  std::size_t chars = fieldBytes / 2 - 1;
  if (units.size() > chars) {
    units.resize(chars);
    // A pair cut in two leaves no lone lead surrogate behind.
    if (!units.empty() && units.back() >= 0xD800 && units.back() < 0xDC00) units.pop_back();
  }
  for (std::size_t i = 0; i < fieldBytes; ++i) (*r)[offset + i] = 0;
  for (std::size_t i = 0; i < units.size(); ++i) {
    (*r)[offset + 2 * i] = static_cast<char>(units[i] & 0xFF);
    (*r)[offset + 2 * i + 1] = static_cast<char>(units[i] >> 8);
  }
}
std::wstring GetText(const std::string& r, std::size_t offset, std::size_t fieldBytes) {
  std::wstring out;
  for (std::size_t i = 0; i + 1 < fieldBytes; i += 2) {
    auto u = static_cast<char16_t>(static_cast<unsigned char>(r[offset + i]) |
                                   (static_cast<unsigned char>(r[offset + i + 1]) << 8));
    if (u == 0) break;
    if constexpr (sizeof(wchar_t) == 4) {
      if (u >= 0xD800 && u < 0xDC00 && i + 3 < fieldBytes) {
        auto low = static_cast<char16_t>(static_cast<unsigned char>(r[offset + i + 2]) |
                                         (static_cast<unsigned char>(r[offset + i + 3]) << 8));
        if (low >= 0xDC00 && low < 0xE000) {
          out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00)));
          i += 2;
          continue;
        }
      }
    }
    out.push_back(static_cast<wchar_t>(u));
  }
  return out;
}

const pt::ptime kOleEpoch(boost::gregorian::date(1899, 12, 30));

}  // namespace

bool RecordDeleted(const std::string& record) {
  return record[0] != 0;
}
std::int32_t RecordLocalId(const std::string& record) {
  return GetI32(record, 4);
}
void SetRecordLocalId(std::string* record, std::int32_t localId) {
  PutI32(record, 4, localId);
}

std::wstring IsoTime(double oleDate) {
  if (!std::isfinite(oleDate) || oleDate < -657434.0 || oleDate > 2958465.0) oleDate = 0;
  auto micros = static_cast<std::int64_t>(std::llround(oleDate * 86400.0 * 1e6));
  pt::ptime t = kOleEpoch + pt::microseconds(micros);
  std::string text = pt::to_iso_string(t);
  // The fraction follows a comma.
  if (auto dot = text.find('.'); dot != std::string::npos) text[dot] = ',';
  return std::wstring(text.begin(), text.end());
}

bool ParseIsoTime(const std::wstring& text, double* oleDate) {
  for (wchar_t c : text)
    if (c > 0x7F) return false;
  try {
    std::string narrow(text.begin(), text.end());
    if (auto comma = narrow.find(','); comma != std::string::npos) narrow[comma] = '.';
    pt::ptime t = pt::from_iso_string(narrow);
    if (t.is_special()) return false;
    *oleDate = static_cast<double>((t - kOleEpoch).total_microseconds()) / (86400.0 * 1e6);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string EncodeJobRecord(const remote::JobReport& report) {
  std::string r(kJobRecordSize, '\0');
  PutText(&r, 8, 512, report.queueName);
  PutText(&r, 520, 512, report.portAddress);
  PutText(&r, 1032, 512, report.machineName);
  PutText(&r, 1544, 512, report.userName);
  PutText(&r, 2056, 512,
          gatelib::printing::LanguageName(
              static_cast<gatelib::printing::PrinterLanguage>(report.language)));
  PutText(&r, 2568, 512, report.documentName);
  PutText(&r, 3080, 512, report.paperName);
  PutText(&r, 3592, 52, IsoTime(report.submitted));
  r[3644] = report.portKind == 1 ? 1 : 0;
  r[3645] = report.colour ? 1 : 0;
  r[3646] = report.duplex ? 1 : 0;
  PutI32(&r, 3648, report.pages);
  PutI32(&r, 3652, report.colourPages);
  PutI32(&r, 3656, report.monoPages);
  PutI32(&r, 3660, report.copies);
  PutI32(&r, 3664, report.spoolerJobId);
  return r;
}

remote::JobReport DecodeJobRecord(const std::string& r) {
  remote::JobReport report;
  report.queueName = GetText(r, 8, 512);
  report.portAddress = GetText(r, 520, 512);
  report.machineName = GetText(r, 1032, 512);
  report.userName = GetText(r, 1544, 512);
  auto language = gatelib::printing::LanguageFromName(GetText(r, 2056, 512));
  report.language = static_cast<std::int16_t>(
      language ? static_cast<int>(*language)
               : static_cast<int>(gatelib::printing::PrinterLanguage::Unknown));
  report.documentName = GetText(r, 2568, 512);
  report.paperName = GetText(r, 3080, 512);
  double submitted = 0;
  if (ParseIsoTime(GetText(r, 3592, 52), &submitted)) report.submitted = submitted;
  report.portKind = r[3644] != 0 ? 1 : 0;
  report.colour = r[3645] != 0;
  report.duplex = r[3646] != 0;
  report.pages = GetI32(r, 3648);
  report.colourPages = GetI32(r, 3652);
  report.monoPages = GetI32(r, 3656);
  report.copies = GetI32(r, 3660);
  report.spoolerJobId = GetI32(r, 3664);
  return report;
}

std::string EncodeHardwareRecord(std::int64_t storeRecordId, const remote::HardwareRecord& hw) {
  std::string r(kHardwareRecordSize, '\0');
  PutI64(&r, 8, storeRecordId);
  PutI32(&r, 16, hw.jobNumber < 0 ? -1 : hw.jobNumber);
  PutText(&r, 20, 36, hw.deviceText1);
  PutText(&r, 56, 512, hw.deviceText2);
  PutText(&r, 568, 512, hw.deviceText3);
  PutText(&r, 1080, 52, IsoTime(hw.readingTime));
  for (int i = 0; i < 6; ++i) PutI32(&r, 1132 + 4 * i, hw.values[i]);
  PutI32(&r, 1156, hw.a3First);
  PutI32(&r, 1160, hw.a3Second);
  return r;
}

remote::HardwareRecord DecodeHardwareRecord(const std::string& r, std::int64_t* storeRecordId) {
  remote::HardwareRecord hw;
  *storeRecordId = GetI64(r, 8);
  hw.jobNumber = GetI32(r, 16);
  hw.deviceText1 = GetText(r, 20, 36);
  hw.deviceText2 = GetText(r, 56, 512);
  hw.deviceText3 = GetText(r, 568, 512);
  double t = 0;
  if (ParseIsoTime(GetText(r, 1080, 52), &t)) hw.readingTime = t;
  for (int i = 0; i < 6; ++i) hw.values[i] = GetI32(r, 1132 + 4 * i);
  hw.a3First = GetI32(r, 1156);
  hw.a3Second = GetI32(r, 1160);
  return hw;
}

}  // namespace tollgate::store
