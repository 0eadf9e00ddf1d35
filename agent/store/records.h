// The layouts of the job store's record files: fixed-size little-endian records, UTF-16LE
// texts with their zero fill, times as ISO 8601 basic text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/rpc/payloads.h"

namespace tollgate::store {

constexpr std::size_t kJobRecordSize = 3668;
constexpr std::size_t kHardwareRecordSize = 1168;

// The common head of every record.
bool RecordDeleted(const std::string& record);
std::int32_t RecordLocalId(const std::string& record);
void SetRecordLocalId(std::string* record, std::int32_t localId);

// An OLE automation date as "YYYYMMDDTHHMMSS" with ",ffffff" only when there is a fraction
// of a second (microseconds); and back (false for a text that is no such time).
std::wstring IsoTime(double oleDate);
bool ParseIsoTime(const std::wstring& text, double* oleDate);

// A jobs-file record of the report (local id 0, live) and the report it holds.
std::string EncodeJobRecord(const remote::JobReport& report);
remote::JobReport DecodeJobRecord(const std::string& record);

// A hardware-file record of a reading for the job's store record id, and back.
std::string EncodeHardwareRecord(std::int64_t storeRecordId, const remote::HardwareRecord& hw);
remote::HardwareRecord DecodeHardwareRecord(const std::string& record, std::int64_t* storeRecordId);

}  // namespace tollgate::store
