// ErrorResult: the error value of operations that do not throw. Such an operation returns
// null on success or a new result that the receiver owns.
#pragma once

#include <memory>
#include <string>

namespace tollgate {

class ErrorResult {
 public:
  explicit ErrorResult(std::wstring text) : text_(std::move(text)) {}
  virtual ~ErrorResult() = default;
  const std::wstring& Text() const { return text_; }

 private:
  std::wstring text_;
};

using ErrorResultPtr = std::unique_ptr<ErrorResult>;

inline ErrorResultPtr MakeError(std::wstring text) {
  return std::make_unique<ErrorResult>(std::move(text));
}

// "Windows error <code>: <one-line system text>" for the thread's last error.
ErrorResultPtr WindowsErrorResult();
// The same for a given code.
ErrorResultPtr WindowsErrorResult(std::uint32_t code);
// "System error <code> @<place>: <one-line system text>" for the thread's last error.
ErrorResultPtr SystemErrorAt(const std::wstring& place);
// "<context>: <inner text>"; the inner result is consumed.
ErrorResultPtr WrapError(ErrorResultPtr inner, const std::wstring& context);

}  // namespace tollgate
