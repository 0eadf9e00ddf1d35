// The thrown errors. Errors are heap objects thrown by pointer (`throw new Error(33)`); the
// handler that catches one and does not throw it on owns it and destroys it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Tollgate::Error {

class IError {
 public:
  virtual ~IError() = default;
  virtual const std::vector<std::wstring>& Args() const = 0;
  virtual std::int32_t Code() const = 0;
  virtual std::uint32_t Id() const = 0;
  virtual std::int32_t Extra() const = 0;
  // The catalogue text of the id with its placeholders filled, or Description when the
  // catalogue has none.
  virtual std::wstring Message() const = 0;
  virtual std::wstring Description() const = 0;
};

}  // namespace Tollgate::Error

class Error : public Tollgate::Error::IError {
 public:
  explicit Error(std::uint32_t id, std::vector<std::wstring> args = {}, std::int32_t extra = 0);

  const std::vector<std::wstring>& Args() const override { return args_; }
  std::int32_t Code() const override { return -1; }
  std::uint32_t Id() const override { return id_; }
  std::int32_t Extra() const override { return extra_; }
  std::wstring Message() const override;
  // "Error Id: %u with args %s", the arguments joined with ",".
  std::wstring Description() const override;

 protected:
  std::vector<std::wstring>& MutableArgs() { return args_; }
  std::wstring JoinedArgs() const;

 private:
  std::uint32_t id_;
  std::int32_t extra_;
  std::vector<std::wstring> args_;
};

class SystemError : public Error {
 public:
  // Id 7: context, code, system text. The code defaults to the thread's last error.
  explicit SystemError(const std::wstring& context);
  SystemError(const std::wstring& context, std::uint32_t code);
  // Id 0: function name, caller, code (the last error), system text.
  SystemError(const std::wstring& functionName, const std::wstring& caller);

  std::int32_t Code() const override { return static_cast<std::int32_t>(code_); }
  // "System error: %s", the arguments joined with ",".
  std::wstring Description() const override;
  std::wstring SystemText() const { return systemText_; }
  // Appends "(", the detail and ")" to the first argument; std::invalid_argument when the
  // error has no arguments.
  void AddContextDetail(const std::wstring& detail);

  // FormatMessageW of `code` from the system, with its line end; empty when there is none.
  static std::wstring SystemTextOf(std::uint32_t code);

 protected:
  SystemError(std::uint32_t id, std::uint32_t code, std::vector<std::wstring> args);

 private:
  std::uint32_t code_;
  std::wstring systemText_;
};

class RPCError : public SystemError {
 public:
  RPCError(const std::wstring& context, std::uint32_t status);
  // Context "%s@%s".
  RPCError(const std::wstring& first, const std::wstring& second, std::uint32_t status);
  // Context "%s (host=%s, endpoint=%s)".
  RPCError(const std::wstring& context, const std::wstring& host, const std::wstring& endpoint,
           std::uint32_t status);

  // The text of an RPC status: the catalogue's for 1722, 1745 and 1753, else the system's.
  static std::wstring StatusText(std::uint32_t status);
};

// Where an exception of no known type was caught (id 1); it travels as an Error.
class UnknownError : public Error {
 public:
  explicit UnknownError(const std::wstring& place);
};

namespace Tollgate::Error {

// Id 2: the text as it stands.
class PassThrough : public ::Error {
 public:
  PassThrough(const std::wstring& text, std::int32_t extra);
};

// Id 19: the name of what was not initialised.
class NotInitialized : public ::Error {
 public:
  explicit NotInitialized(const std::wstring& name);
};

}  // namespace Tollgate::Error
