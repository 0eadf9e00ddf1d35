// The error report: what becomes of an error that reaches the top of a thread.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "shared/error/errors.h"

namespace tollgate {

// Logs the error's Message and destroys it (ownership passes).
void ReportError(Error* error);
// Logs what() of the exception, read in the ANSI code page.
void ReportException(const std::exception& exception);

// Turns a structured exception into std::runtime_error "SEH exception: <code>".
[[noreturn]] void TranslateStructuredException(unsigned code);

// Runs `body` and reports whatever it throws: an Error through ReportError, a
// std::exception through ReportException, anything else as an UnknownError of `place`.
// True when the body returned normally.
bool RunReported(const std::wstring& place, const std::function<void()>& body);

}  // namespace tollgate
