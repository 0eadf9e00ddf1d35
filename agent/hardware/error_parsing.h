// The error of a printer whose answer cannot be parsed.
#pragma once

#include <string>

#include "shared/error/errors.h"

namespace tollgate::hardware {

// Id 22: the printer's name.
class ErrorParsing : public ::Error {
 public:
  explicit ErrorParsing(const std::wstring& printer) : ::Error(22, {printer}) {}
};

}  // namespace tollgate::hardware
