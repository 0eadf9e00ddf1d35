// The page-tree count of a PDF file with the PDF library, read through the platform's file
// calls, with the decoding of its streams bounded.
#define POINTERHOLDER_TRANSITION 4  // the library's own smart pointer is not used
#include <zlib.h>
#include <qpdf/InputSource.hh>
#include <qpdf/Pipeline.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjGen.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFStreamFilter.hh>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

#include "gatelib/printing/pdf_page_tree.h"
#include "platform/platform.h"

namespace gatelib::printing {
namespace {

// A failure of the count that is not the library's: a bound passed.
class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The budget of decoded bytes of the count running on this thread (null outside a count).
thread_local std::int64_t* decodeBudget = nullptr;

void Spend(std::size_t bytes) {
  if (decodeBudget == nullptr) return;
  *decodeBudget -= static_cast<std::int64_t>(bytes);
  if (*decodeBudget < 0) throw Refused("the streams decode to more bytes than allowed");
}

// Passes bytes on, spending the budget on them.
class Budgeted : public Pipeline {
 public:
  explicit Budgeted(Pipeline* next) : Pipeline("budget", next) {}
  void write(unsigned char const* data, size_t len) override {
    Spend(len);
    getNext()->write(data, len);
  }
  void finish() override { getNext()->finish(); }
};

// Inflates zlib data (with the PNG predictors of the decode parameters), spending the budget
// on what it produces.
class Inflate : public Pipeline {
 public:
  Inflate(Pipeline* next, int predictor, int columns, int colours, int bits)
      : Pipeline("inflate", next), predictor_(predictor) {
    if (inflateInit(&z_) != Z_OK) throw std::runtime_error("zlib");
    if (predictor_ >= 10) {
      const long long bitsPerPixel = static_cast<long long>(colours) * bits;
      bpp_ = static_cast<std::size_t>(std::max<long long>(1, (bitsPerPixel + 7) / 8));
      rowBytes_ = static_cast<std::size_t>((bitsPerPixel * columns + 7) / 8);
      previous_.assign(rowBytes_, 0);
      row_.reserve(rowBytes_ + 1);
    }
  }
  ~Inflate() override { inflateEnd(&z_); }

  void write(unsigned char const* data, size_t len) override {
    if (ended_) return;
    z_.next_in = const_cast<unsigned char*>(data);
    z_.avail_in = static_cast<uInt>(len);
    Drain();
  }
  void finish() override {
    if (!ended_) {
      z_.next_in = nullptr;
      z_.avail_in = 0;
      Drain();
    }
    getNext()->finish();
  }

 private:
  // Inflates what was given, as long as there is input or the output filled its buffer.
  void Drain() {
    unsigned char out[65536];
    for (;;) {
      z_.next_out = out;
      z_.avail_out = sizeof(out);
      const int status = inflate(&z_, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
        throw std::runtime_error("damaged compressed stream");
      }
      const std::size_t produced = sizeof(out) - z_.avail_out;
      if (produced > 0) Deliver(out, produced);
      if (status == Z_STREAM_END) {
        ended_ = true;
        return;
      }
      if (status == Z_BUF_ERROR || (z_.avail_in == 0 && z_.avail_out > 0)) return;
    }
  }
  void Deliver(const unsigned char* data, std::size_t len) {
    Spend(len);
    if (predictor_ < 10) {
      getNext()->write(data, len);
      return;
    }
    for (std::size_t i = 0; i < len; ++i) {
      row_.push_back(data[i]);
      if (row_.size() == rowBytes_ + 1) Row();
    }
  }
  // One row of the PNG predictors: its first byte names the filter of the row.
  void Row() {
    unsigned char* r = row_.data() + 1;
    const unsigned char filter = row_[0];
    for (std::size_t i = 0; i < rowBytes_; ++i) {
      const int left = i >= bpp_ ? r[i - bpp_] : 0;
      const int up = previous_[i];
      const int upLeft = i >= bpp_ ? previous_[i - bpp_] : 0;
      int add = 0;
      switch (filter) {
        case 0:
          break;
        case 1:
          add = left;
          break;
        case 2:
          add = up;
          break;
        case 3:
          add = (left + up) / 2;
          break;
        case 4: {
          const int p = left + up - upLeft;
          const int pa = std::abs(p - left);
          const int pb = std::abs(p - up);
          const int pc = std::abs(p - upLeft);
          add = pa <= pb && pa <= pc ? left : pb <= pc ? up : upLeft;
          break;
        }
        default:
          throw std::runtime_error("unknown PNG predictor");
      }
      r[i] = static_cast<unsigned char>(r[i] + add);
    }
    std::memcpy(previous_.data(), r, rowBytes_);
    getNext()->write(r, rowBytes_);
    row_.clear();
  }

  z_stream z_{};
  bool ended_ = false;
  int predictor_;
  std::size_t bpp_ = 1;
  std::size_t rowBytes_ = 0;
  std::vector<unsigned char> previous_;
  std::vector<unsigned char> row_;
};

// Run-length decoding: a length byte below 128 copies that many plus one bytes, above 128
// repeats the next byte 257 minus it times, 128 ends.
class RunLength : public Pipeline {
 public:
  explicit RunLength(Pipeline* next) : Pipeline("run length", next) {}
  void write(unsigned char const* data, size_t len) override {
    for (std::size_t i = 0; i < len && !ended_; ++i) {
      const unsigned char b = data[i];
      if (literal_ > 0) {
        Emit(&b, 1);
        --literal_;
      } else if (repeat_ > 0) {
        std::vector<unsigned char> run(static_cast<std::size_t>(repeat_), b);
        Emit(run.data(), run.size());
        repeat_ = 0;
      } else if (b < 128) {
        literal_ = b + 1;
      } else if (b > 128) {
        repeat_ = 257 - b;
      } else {
        ended_ = true;
      }
    }
  }
  void finish() override { getNext()->finish(); }

 private:
  void Emit(const unsigned char* data, std::size_t len) {
    Spend(len);
    getNext()->write(data, len);
  }
  int literal_ = 0;
  int repeat_ = 0;
  bool ended_ = false;
};

// The filters that can make many bytes of few, each spending the budget on what it produces;
// LZW, which nothing counted here needs, is refused.
class BoundedFilter : public QPDFStreamFilter {
 public:
  enum class Kind { Flate, RunLength, Refused };
  explicit BoundedFilter(Kind kind) : kind_(kind) {}

  bool setDecodeParms(QPDFObjectHandle parms) override {
    if (kind_ != Kind::Flate || parms.isNull()) return kind_ != Kind::Refused;
    if (!parms.isDictionary()) return false;
    auto number = [&](const char* key, int otherwise, int low, int high, int& out) {
      QPDFObjectHandle value = parms.getKey(key);
      if (value.isNull()) {
        out = otherwise;
        return true;
      }
      if (!value.isInteger()) return false;
      const long long v = value.getIntValue();
      if (v < low || v > high) return false;
      out = static_cast<int>(v);
      return true;
    };
    if (!number("/Predictor", 1, 1, 15, predictor_) ||
        !number("/Columns", 1, 1, 1 << 20, columns_) || !number("/Colors", 1, 1, 32, colours_) ||
        !number("/BitsPerComponent", 8, 1, 16, bits_)) {
      return false;
    }
    return predictor_ == 1 || predictor_ >= 10;  // TIFF predictors are not read here
  }
  Pipeline* getDecodePipeline(Pipeline* next) override {
    switch (kind_) {
      case Kind::Flate:
        stage_ = std::make_unique<Inflate>(next, predictor_, columns_, colours_, bits_);
        break;
      case Kind::RunLength:
        stage_ = std::make_unique<RunLength>(next);
        break;
      case Kind::Refused:
        return nullptr;
    }
    return stage_.get();
  }

 private:
  Kind kind_;
  int predictor_ = 1;
  int columns_ = 1;
  int colours_ = 1;
  int bits_ = 8;
  std::unique_ptr<Pipeline> stage_;
};

void RegisterBoundedFilters() {
  static std::once_flag once;
  std::call_once(once, [] {
    using K = BoundedFilter::Kind;
    for (const char* name : {"/FlateDecode", "/Fl"}) {
      QPDF::registerStreamFilter(name, [] { return std::make_shared<BoundedFilter>(K::Flate); });
    }
    for (const char* name : {"/RunLengthDecode", "/RL"}) {
      QPDF::registerStreamFilter(name,
                                 [] { return std::make_shared<BoundedFilter>(K::RunLength); });
    }
    for (const char* name : {"/LZWDecode", "/LZW"}) {
      QPDF::registerStreamFilter(name, [] { return std::make_shared<BoundedFilter>(K::Refused); });
    }
  });
}

// The file through the platform's calls, read in blocks of 64 KiB.
class PlatformSource : public InputSource {
 public:
  explicit PlatformSource(const std::wstring& path) : name_("spool file") {
    handle_ =
        platform::files().CreateFileW(path, platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                      platform::OPEN_EXISTING, platform::FILE_FLAG_SEQUENTIAL_SCAN);
    if (handle_ == platform::INVALID_HANDLE_VALUE) throw Refused("the file cannot be opened");
    std::int64_t size = 0;
    if (!platform::files().GetFileSizeEx(handle_, &size)) {
      platform::kernel().CloseHandle(handle_);
      throw Refused("the file's size cannot be read");
    }
    size_ = size;
  }
  ~PlatformSource() override { platform::kernel().CloseHandle(handle_); }
  PlatformSource(const PlatformSource&) = delete;
  PlatformSource& operator=(const PlatformSource&) = delete;

  std::int64_t Size() const { return size_; }

  qpdf_offset_t findAndSkipNextEOL() override {
    for (;;) {
      char c = 0;
      if (read(&c, 1) == 0) return tell();
      if (c == '\r' || c == '\n') {
        const qpdf_offset_t eol = tell() - 1;
        while (read(&c, 1) == 1) {
          if (c != '\r' && c != '\n') {
            unreadCh(c);
            break;
          }
        }
        return eol;
      }
    }
  }
  std::string const& getName() const override { return name_; }
  qpdf_offset_t tell() override { return position_; }
  void seek(qpdf_offset_t offset, int whence) override {
    qpdf_offset_t to = whence == SEEK_SET   ? offset
                       : whence == SEEK_CUR ? position_ + offset
                                            : size_ + offset;
    if (to < 0) throw std::runtime_error("seek before the start of the file");
    position_ = to;
  }
  void rewind() override { position_ = 0; }
  size_t read(char* buffer, size_t length) override {
    last_offset = position_;
    std::size_t done = 0;
    while (done < length && position_ < size_) {
      if (position_ < blockStart_ ||
          position_ >= blockStart_ + static_cast<qpdf_offset_t>(blockLength_))
        Load();
      if (blockLength_ == 0) break;
      const std::size_t at = static_cast<std::size_t>(position_ - blockStart_);
      const std::size_t n = std::min(length - done, blockLength_ - at);
      std::memcpy(buffer + done, block_.data() + at, n);
      done += n;
      position_ += static_cast<qpdf_offset_t>(n);
    }
    return done;
  }
  void unreadCh(char) override {
    if (position_ > 0) --position_;
  }

 private:
  void Load() {
    blockStart_ = position_;
    blockLength_ = 0;
    std::int64_t at = 0;
    if (!platform::files().SetFilePointerEx(handle_, position_, &at, platform::FILE_BEGIN)) {
      throw std::runtime_error("seek failed");
    }
    platform::DWORD got = 0;
    if (!platform::files().ReadFile(handle_, block_.data(),
                                    static_cast<platform::DWORD>(block_.size()), &got)) {
      throw std::runtime_error("read failed");
    }
    blockLength_ = got;
  }

  std::string name_;
  platform::HANDLE handle_ = nullptr;
  std::int64_t size_ = 0;
  qpdf_offset_t position_ = 0;
  std::vector<char> block_ = std::vector<char>(65536);
  qpdf_offset_t blockStart_ = 0;
  std::size_t blockLength_ = 0;
};

// The largest number of objects the file's cross-reference data claims: every "/Size n" and
// the counts of every "/Index [first count ...]". Read before the library builds its table of
// them, which holds one entry per object.
std::int64_t ClaimedObjects(PlatformSource& file) {
  std::int64_t most = 0;
  std::vector<char> block(1 << 16);
  std::string carry;  // the end of the previous block, for a key cut by the block's edge
  file.rewind();
  auto number = [](const std::string& text, std::size_t& i, std::int64_t& value) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' ||
                               text[i] == '\n' || text[i] == '\f' || text[i] == '\0')) {
      ++i;
    }
    std::size_t start = i;
    value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 18) {
      value = value * 10 + (text[i] - '0');
      ++i;
    }
    return i > start;
  };
  for (;;) {
    const std::size_t got = file.read(block.data(), block.size());
    if (got == 0) break;
    std::string text = carry + std::string(block.data(), got);
    std::size_t from = 0;
    for (;;) {
      const std::size_t key = text.find('/', from);
      if (key == std::string::npos) break;
      from = key + 1;
      if (text.compare(key, 5, "/Size") == 0) {
        std::size_t i = key + 5;
        std::int64_t value = 0;
        if (number(text, i, value)) most = std::max(most, value);
      } else if (text.compare(key, 6, "/Index") == 0) {
        std::size_t i = key + 6;
        while (i < text.size() && text[i] != '[' && i < key + 16) ++i;
        std::int64_t sum = 0;
        std::int64_t first = 0;
        std::int64_t count = 0;
        ++i;
        while (number(text, i, first) && number(text, i, count) && sum < (std::int64_t{1} << 40)) {
          sum += count;
        }
        most = std::max(most, sum);
      }
    }
    carry = text.size() > 256 ? text.substr(text.size() - 256) : text;
    if (carry.find('/') == std::string::npos) carry.clear();
  }
  file.rewind();
  return most;
}

std::int64_t CountPages(QPDF& pdf, const PdfLimits& limits) {
  QPDFObjectHandle top = pdf.getRoot().getKey("/Pages");
  if (!top.isDictionary()) throw Refused("the document has no page tree");
  struct Node {
    QPDFObjectHandle object;
    int depth;
  };
  std::vector<Node> stack{{top, 0}};
  std::set<QPDFObjGen> seen;
  std::int64_t visits = 1;  // nodes put on the stack
  std::int64_t pages = 0;
  while (!stack.empty()) {
    Node node = std::move(stack.back());
    stack.pop_back();
    if (node.object.isIndirect() && !seen.insert(node.object.getObjGen()).second) continue;
    if (!node.object.isDictionary()) continue;
    QPDFObjectHandle kids = node.object.getKey("/Kids");
    QPDFObjectHandle type = node.object.getKey("/Type");
    const bool page = type.isName() && type.getName() == "/Page";
    if (!page && kids.isArray()) {
      if (node.depth >= limits.maxTreeDepth) throw Refused("the page tree is too deep");
      const int n = kids.getArrayNItems();
      visits += n;  // what waits on the stack counts too
      if (visits > limits.maxTreeNodes) throw Refused("the page tree has too many nodes");
      for (int i = n - 1; i >= 0; --i) stack.push_back({kids.getArrayItem(i), node.depth + 1});
    } else if (page || !type.isName() || type.getName() != "/Pages") {
      ++pages;
    }
  }
  return pages;
}

}  // namespace

bool HavePdfLibrary() {
  return true;
}

std::optional<std::int64_t> PdfPageTreeCount(const std::wstring& path, const PdfLimits& limits,
                                             std::string* why) {
  RegisterBoundedFilters();
  std::int64_t budget = limits.maxDecodedBytes;
  decodeBudget = &budget;
  std::optional<std::int64_t> count;
  try {
    auto file = std::make_shared<PlatformSource>(path);
    if (ClaimedObjects(*file) > limits.maxObjects)
      throw Refused("the file claims too many objects");
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    pdf.processInputSource(file);
    count = CountPages(pdf, limits);
    // The library takes a stream it could not decode for a damaged one and may read on: a
    // count made after the budget ran out is not taken.
    if (budget < 0) throw Refused("the streams decode to more bytes than allowed");
  } catch (const std::exception& e) {
    if (why != nullptr) {
      *why = budget < 0 ? "the streams decode to more bytes than allowed" : e.what();
    }
    count.reset();
  }
  decodeBudget = nullptr;
  return count;
}

}  // namespace gatelib::printing
