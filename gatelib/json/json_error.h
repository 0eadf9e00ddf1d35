// The errors of reading JSON.
#pragma once

#include <string>

#include "shared/error/errors.h"

namespace gatelib::json {

// Id 16: cause, offset, context.
class JsonError : public ::Error {
 public:
  JsonError(const std::wstring& context, const std::wstring& cause, int offset);
};

// A parse error of the JSON library: the cause is the library's English text for the code.
class RapidJsonError : public JsonError {
 public:
  RapidJsonError(const std::wstring& context, int parseErrorCode, int offset);
  static std::wstring ParseErrorText(int parseErrorCode);
};

}  // namespace gatelib::json
