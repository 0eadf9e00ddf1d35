#include "gatelib/json/json_error.h"

#include <rapidjson/error/en.h>

#include <string>

namespace gatelib::json {

JsonError::JsonError(const std::wstring& context, const std::wstring& cause, int offset)
    : ::Error(16, {cause, std::to_wstring(offset), context}) {}

std::wstring RapidJsonError::ParseErrorText(int parseErrorCode) {
  // The library's texts are plain ASCII.
  const char* text =
      rapidjson::GetParseError_En(static_cast<rapidjson::ParseErrorCode>(parseErrorCode));
  std::string narrow = text != nullptr ? text : "";
  return std::wstring(narrow.begin(), narrow.end());
}

RapidJsonError::RapidJsonError(const std::wstring& context, int parseErrorCode, int offset)
    : JsonError(context, ParseErrorText(parseErrorCode), offset) {}

}  // namespace gatelib::json
