// NDR 2.0 marshalling (little-endian, ASCII, IEEE, 32-bit referent ids), written by hand by the
// interface code: one Writer call or Reader call per wire item, in the order of the IDL.
//
// Pointers. A top-level [ref] pointer has no wire form: its referent follows at once
// (RefPointer). A top-level [unique] pointer is a referent id (0 for null) with the referent
// right after it (UniquePointer). A pointer embedded in a structure or an array is its referent
// id in place, and the referent is deferred until the end of the outermost construct being
// written (EmbeddedPointer inside Construct); deferred referents are written in pointer order
// and their own embedded referents follow each of them, as the Microsoft stubs do.
//
// Strings. `[string] char*` and `[string] wchar_t*` are conformant-varying arrays: maximum
// count, offset 0, actual count, the characters with their terminating zero.
//
// The Reader checks every count against the bytes that are left before it allocates, so that
// no input makes it allocate more than the message holds; any inconsistency throws
// RpcException(RPC_X_BAD_STUB_DATA).
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/rpc/status.h"

namespace rpc::ndr {

// UTF-16 code units of a wide text (surrogate pairs where wchar_t is 32 bits) and back (an
// unpaired surrogate is kept as it stands).
std::u16string Utf16FromWide(std::wstring_view text);
std::wstring WideFromUtf16(std::u16string_view units);

class Writer {
 public:
  Writer() { data_.reserve(256); }

  const std::vector<std::uint8_t>& Data() const { return data_; }
  std::vector<std::uint8_t> Take() { return std::move(data_); }
  std::size_t Size() const { return data_.size(); }

  void Align(std::size_t n) {
    std::size_t pad = (n - data_.size() % n) % n;
    data_.insert(data_.end(), pad, 0);
  }

  void U8(std::uint8_t v) { data_.push_back(v); }
  void I8(std::int8_t v) { U8(static_cast<std::uint8_t>(v)); }
  void U16(std::uint16_t v) { Scalar(v); }
  void I16(std::int16_t v) { Scalar(v); }
  void U32(std::uint32_t v) { Scalar(v); }
  void I32(std::int32_t v) { Scalar(v); }
  void U64(std::uint64_t v) { Scalar(v); }
  void I64(std::int64_t v) { Scalar(v); }
  void Float(float v) { Scalar(v); }
  void Double(double v) { Scalar(v); }
  void Bytes(const void* bytes, std::size_t n) {
    auto p = static_cast<const std::uint8_t*>(bytes);
    data_.insert(data_.end(), p, p + n);
  }

  // A fresh non-null referent id (0x00020000, 0x00020004, …).
  std::uint32_t NewReferent() {
    std::uint32_t id = nextReferent_;
    nextReferent_ += 4;
    return id;
  }

  // A construct (structure or array) whose embedded pointers' referents follow it.
  template <typename Body>
  void Construct(Body&& body) {
    auto outer = std::move(deferred_);
    deferred_.clear();
    std::forward<Body>(body)();
    auto mine = std::move(deferred_);
    deferred_ = std::move(outer);
    for (auto& referent : mine) Construct(referent);
  }

  template <typename Referent>
  void RefPointer(Referent&& referent) {
    Construct(std::forward<Referent>(referent));
  }
  template <typename Referent>
  void UniquePointer(bool present, Referent&& referent) {
    Align(4);
    U32(present ? NewReferent() : 0);
    if (present) Construct(std::forward<Referent>(referent));
  }
  template <typename Referent>
  void EmbeddedPointer(bool present, Referent&& referent) {
    Align(4);
    U32(present ? NewReferent() : 0);
    if (present) deferred_.emplace_back(std::forward<Referent>(referent));
  }

  // The maximum count of a conformant array; the offset and actual count of a varying one.
  void Conformance(std::uint32_t maxCount) {
    Align(4);
    U32(maxCount);
  }
  void Variance(std::uint32_t offset, std::uint32_t actualCount) {
    Align(4);
    U32(offset);
    U32(actualCount);
  }

  // A conformant array of bytes: the count, the bytes.
  void ConformantBytes(std::span<const std::uint8_t> bytes) {
    Conformance(static_cast<std::uint32_t>(bytes.size()));
    Bytes(bytes.data(), bytes.size());
  }

  // [string] char*: the bytes as they are, with a terminating zero.
  void String(std::string_view narrow);
  // [string] wchar_t*: UTF-16LE with a terminating zero.
  void WideString(std::wstring_view text);
  // A counted wide text without terminator (for [size_is(n)] wchar_t arrays): the units only.
  void WideChars(std::wstring_view text);
  // The number of UTF-16 units WideChars writes for `text`.
  static std::uint32_t Utf16Length(std::wstring_view text);

 private:
  template <typename T>
  void Scalar(T v) {
    Align(sizeof(T));
    std::size_t at = data_.size();
    data_.resize(at + sizeof(T));
    std::memcpy(data_.data() + at, &v, sizeof(T));  // little-endian hosts only
  }

  std::vector<std::uint8_t> data_;
  std::vector<std::function<void()>> deferred_;
  std::uint32_t nextReferent_ = 0x00020000;
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

  std::size_t Position() const { return at_; }
  std::size_t Remaining() const { return data_.size() - at_; }

  // Throws RPC_X_BAD_STUB_DATA.
  [[noreturn]] static void Bad();

  void Align(std::size_t n) {
    std::size_t pad = (n - at_ % n) % n;
    Need(pad);
    at_ += pad;
  }

  std::uint8_t U8() {
    Need(1);
    return data_[at_++];
  }
  std::int8_t I8() { return static_cast<std::int8_t>(U8()); }
  std::uint16_t U16() { return Scalar<std::uint16_t>(); }
  std::int16_t I16() { return Scalar<std::int16_t>(); }
  std::uint32_t U32() { return Scalar<std::uint32_t>(); }
  std::int32_t I32() { return Scalar<std::int32_t>(); }
  std::uint64_t U64() { return Scalar<std::uint64_t>(); }
  std::int64_t I64() { return Scalar<std::int64_t>(); }
  float Float() { return Scalar<float>(); }
  double Double() { return Scalar<double>(); }
  void Bytes(void* out, std::size_t n) {
    Need(n);
    if (n > 0) std::memcpy(out, data_.data() + at_, n);
    at_ += n;
  }
  std::span<const std::uint8_t> View(std::size_t n) {
    Need(n);
    auto view = data_.subspan(at_, n);
    at_ += n;
    return view;
  }

  template <typename Body>
  void Construct(Body&& body) {
    auto outer = std::move(deferred_);
    deferred_.clear();
    std::forward<Body>(body)();
    auto mine = std::move(deferred_);
    deferred_ = std::move(outer);
    for (auto& referent : mine) Construct(referent);
  }

  template <typename Referent>
  void RefPointer(Referent&& referent) {
    Construct(std::forward<Referent>(referent));
  }
  // Reads a referent id; when it is not null, reads the referent. Returns whether it was there.
  template <typename Referent>
  bool UniquePointer(Referent&& referent) {
    Align(4);
    bool present = U32() != 0;
    if (present) Construct(std::forward<Referent>(referent));
    return present;
  }
  // Reads a referent id; when it is not null, the referent is read at the end of the
  // construct. The referent must stay valid until then (reserve vectors before).
  template <typename Referent>
  bool EmbeddedPointer(Referent&& referent) {
    Align(4);
    bool present = U32() != 0;
    if (present) deferred_.emplace_back(std::forward<Referent>(referent));
    return present;
  }

  // The maximum count of a conformant array of elements of at least `elementSize` bytes on
  // the wire, checked against the bytes left.
  std::uint32_t Conformance(std::size_t elementSize) {
    Align(4);
    std::uint32_t n = U32();
    CheckCount(n, elementSize);
    return n;
  }
  // A conformance that must equal the count given by another parameter (size_is).
  std::uint32_t Conformance(std::size_t elementSize, std::uint64_t expected) {
    std::uint32_t n = Conformance(elementSize);
    if (n != expected) Bad();
    return n;
  }
  void CheckCount(std::uint64_t n, std::size_t elementSize) const {
    if (elementSize > 0 && n > Remaining() / elementSize) Bad();
  }

  std::vector<std::uint8_t> ConformantBytes() {
    std::uint32_t n = Conformance(1);
    auto view = View(n);
    return {view.begin(), view.end()};
  }

  std::string String();
  std::wstring WideString();
  // `count` UTF-16 units (a counted wide text without terminator).
  std::wstring WideChars(std::uint32_t count);

 private:
  void Need(std::size_t n) const {
    if (n > Remaining()) Bad();
  }
  template <typename T>
  T Scalar() {
    Align(sizeof(T));
    Need(sizeof(T));
    T v;
    std::memcpy(&v, data_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return v;
  }
  // The actual count of a conformant-varying string of `unit`-byte characters.
  std::uint32_t StringHeader(std::size_t unit);

  std::span<const std::uint8_t> data_;
  std::size_t at_ = 0;
  std::vector<std::function<void()>> deferred_;
};

}  // namespace rpc::ndr
