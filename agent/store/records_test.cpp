// The record layouts byte for byte, and their times.
#include "agent/store/records.h"

#include <gtest/gtest.h>

#include <string>

namespace tollgate::store {
namespace {

std::string Utf16(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}
std::string Le32(std::uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}
// Expected field: the bytes then zeros to the field's size.
void ExpectField(const std::string& record, std::size_t offset, std::size_t size,
                 const std::string& bytes) {
  ASSERT_LE(bytes.size(), size);
  std::string expected = bytes + std::string(size - bytes.size(), '\0');
  EXPECT_EQ(record.substr(offset, size), expected) << "field at offset " << offset;
}

// 2026-12-10 08:30:05.25 as an OLE date.
constexpr double kWithFraction = 46366.0 + (8 * 3600 + 30 * 60 + 5.25) / 86400.0;
constexpr double kWhole = 46366.0 + (8 * 3600 + 30 * 60 + 5) / 86400.0;

TEST(RecordLayoutTest, AJobRecordHasEveryFieldAtItsOffset) {
  remote::JobReport r;
  r.queueName = L"Fila";
  r.portAddress = L"10.0.0.7";
  r.machineName = L"\\\\PC1";
  r.userName = L"maria";
  r.language = 6;  // any language: its name is checked through the round trip below
  r.documentName = L"Relatório";
  r.paperName = L"A4";
  r.submitted = kWithFraction;
  r.portKind = 1;
  r.colour = true;
  r.duplex = false;
  r.pages = 3;
  r.colourPages = 1;
  r.monoPages = 2;
  r.copies = 4;
  r.spoolerJobId = 0x01020304;
  std::string rec = EncodeJobRecord(r);
  ASSERT_EQ(rec.size(), 3668u);
  SetRecordLocalId(&rec, 7);
  ExpectField(rec, 0, 8, std::string("\0\0\0\0", 4) + Le32(7));
  ExpectField(rec, 8, 512, Utf16(u"Fila"));
  ExpectField(rec, 520, 512, Utf16(u"10.0.0.7"));
  ExpectField(rec, 1032, 512, Utf16(u"\\\\PC1"));
  ExpectField(rec, 1544, 512, Utf16(u"maria"));
  ExpectField(rec, 2568, 512, Utf16(u"Relat\u00f3rio"));
  ExpectField(rec, 3080, 512, Utf16(u"A4"));
  ExpectField(rec, 3592, 52, Utf16(u"20261210T083005,250000"));
  ExpectField(rec, 3644, 4, std::string("\1\1\0\0", 4));
  ExpectField(rec, 3648, 4, Le32(3));
  ExpectField(rec, 3652, 4, Le32(1));
  ExpectField(rec, 3656, 4, Le32(2));
  ExpectField(rec, 3660, 4, Le32(4));
  ExpectField(rec, 3664, 4, "\x04\x03\x02\x01");
  EXPECT_EQ(RecordLocalId(rec), 7);
  EXPECT_FALSE(RecordDeleted(rec));

  remote::JobReport back = DecodeJobRecord(rec);
  EXPECT_EQ(back.queueName, r.queueName);
  EXPECT_EQ(back.portAddress, r.portAddress);
  EXPECT_EQ(back.machineName, r.machineName);
  EXPECT_EQ(back.userName, r.userName);
  EXPECT_EQ(back.documentName, r.documentName);
  EXPECT_EQ(back.paperName, r.paperName);
  EXPECT_EQ(back.language, r.language);
  EXPECT_NEAR(back.submitted, r.submitted, 1e-9);
  EXPECT_EQ(back.portKind, 1);
  EXPECT_TRUE(back.colour);
  EXPECT_FALSE(back.duplex);
  EXPECT_EQ(back.pages, 3);
  EXPECT_EQ(back.colourPages, 1);
  EXPECT_EQ(back.monoPages, 2);
  EXPECT_EQ(back.copies, 4);
  EXPECT_EQ(back.spoolerJobId, 0x01020304);
}

TEST(RecordLayoutTest, AHardwareRecordHasEveryFieldAtItsOffset) {
  remote::HardwareRecord hw;
  hw.deviceText1 = L"SERIE-123";
  hw.deviceText2 = L"Modelo X";
  hw.deviceText3 = L"Sala 2";
  for (int i = 0; i < 6; ++i) hw.values[i] = 100 + i;
  hw.a3First = -5;
  hw.a3Second = 9;
  hw.readingTime = kWhole;
  hw.jobNumber = 12;
  std::string rec = EncodeHardwareRecord(-3, hw);
  ASSERT_EQ(rec.size(), 1168u);
  SetRecordLocalId(&rec, 2);
  ExpectField(rec, 0, 8, std::string("\0\0\0\0", 4) + Le32(2));
  ExpectField(rec, 8, 8, std::string(8, '\xFF').replace(0, 1, "\xFD"));
  ExpectField(rec, 16, 4, Le32(12));
  ExpectField(rec, 20, 36, Utf16(u"SERIE-123"));
  ExpectField(rec, 56, 512, Utf16(u"Modelo X"));
  ExpectField(rec, 568, 512, Utf16(u"Sala 2"));
  ExpectField(rec, 1080, 52, Utf16(u"20261210T083005"));
  for (int i = 0; i < 6; ++i) ExpectField(rec, 1132 + 4 * i, 4, Le32(100 + i));
  ExpectField(rec, 1156, 4, Le32(static_cast<std::uint32_t>(-5)));
  ExpectField(rec, 1160, 4, Le32(9));
  ExpectField(rec, 1164, 4, "");

  std::int64_t id = 0;
  remote::HardwareRecord back = DecodeHardwareRecord(rec, &id);
  EXPECT_EQ(id, -3);
  EXPECT_EQ(back.jobNumber, 12);
  EXPECT_EQ(back.deviceText1, hw.deviceText1);
  EXPECT_EQ(back.deviceText3, hw.deviceText3);
  EXPECT_EQ(back.values[5], 105);
  EXPECT_EQ(back.a3First, -5);
  EXPECT_NEAR(back.readingTime, kWhole, 1e-9);

  hw.jobNumber = -7;  // any negative number is "none"
  EXPECT_EQ(EncodeHardwareRecord(0, hw).substr(16, 4), Le32(0xFFFFFFFF));
}

TEST(RecordLayoutTest, TextsAreCutToTheirFieldAndKeepTheirZero) {
  remote::JobReport r;
  r.queueName = std::wstring(300, L'q');
  r.paperName = std::wstring(254, L'p') + L"\U0001F5A8";  // a pair that does not fit whole
  std::string rec = EncodeJobRecord(r);
  std::string queue = rec.substr(8, 512);
  EXPECT_EQ(queue.substr(0, 510), Utf16(std::u16string(255, u'q')));
  EXPECT_EQ(queue.substr(510), std::string(2, '\0'));
  EXPECT_EQ(DecodeJobRecord(rec).queueName, std::wstring(255, L'q'));
  EXPECT_EQ(DecodeJobRecord(rec).paperName, std::wstring(254, L'p'));

  remote::HardwareRecord hw;
  hw.deviceText1 = std::wstring(40, L'x');
  std::int64_t id = 0;
  EXPECT_EQ(DecodeHardwareRecord(EncodeHardwareRecord(1, hw), &id).deviceText1,
            std::wstring(17, L'x'));
}

TEST(RecordLayoutTest, IsoTimesHaveAFractionOnlyWhenThereIsOne) {
  const struct {
    double ole;
    const wchar_t* text;
  } cases[] = {
      {kWhole, L"20261210T083005"},
      {kWithFraction, L"20261210T083005,250000"},
      {2.0, L"19000101T000000"},
      {0.0, L"18991230T000000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsoTime(c.ole), c.text);
    double back = -1;
    ASSERT_TRUE(ParseIsoTime(c.text, &back)) << c.ole;
    EXPECT_NEAR(back, c.ole, 1e-9);
  }
  double t = 0;
  for (const wchar_t* bad : {L"", L"hoje", L"20261310T000000", L"2026\u00e91210T000000"})
    EXPECT_FALSE(ParseIsoTime(bad, &t)) << std::wstring(bad).size();
}

}  // namespace
}  // namespace tollgate::store
