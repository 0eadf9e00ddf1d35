#include "gatelib/printing/xps_reader.h"

#include <unzip.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace gatelib::printing {
namespace {

using platform::DWORD;

// The zip library's file calls, made through the platform: the path is the spool file's
// (wide) path, handed over as the library's file name.
struct ZipFile {
  platform::HANDLE handle;
  int error = 0;
};

voidpf Open(voidpf opaque, const void* name, int mode) {
  static_cast<void>(opaque);
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
  const auto* path = static_cast<const std::wstring*>(name);
  platform::HANDLE handle =
      platform::files().CreateFileW(*path, platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                    platform::OPEN_EXISTING, platform::FILE_FLAG_SEQUENTIAL_SCAN);
  if (handle == platform::INVALID_HANDLE_VALUE) return nullptr;
  return new ZipFile{handle};
}

uLong ReadBytes(voidpf, voidpf stream, void* buffer, uLong size) {
  auto* file = static_cast<ZipFile*>(stream);
  DWORD read = 0;
  if (!platform::files().ReadFile(file->handle, buffer, static_cast<DWORD>(size), &read)) {
    file->error = 1;
    return 0;
  }
  return read;
}

uLong WriteBytes(voidpf, voidpf, const void*, uLong) {
  return 0;
}

ZPOS64_T Tell(voidpf, voidpf stream) {
  auto* file = static_cast<ZipFile*>(stream);
  std::int64_t at = 0;
  if (!platform::files().SetFilePointerEx(file->handle, 0, &at, platform::FILE_CURRENT))
    return static_cast<ZPOS64_T>(-1);
  return static_cast<ZPOS64_T>(at);
}

long SeekTo(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* file = static_cast<ZipFile*>(stream);
  DWORD method = origin == ZLIB_FILEFUNC_SEEK_SET   ? platform::FILE_BEGIN
                 : origin == ZLIB_FILEFUNC_SEEK_CUR ? platform::FILE_CURRENT
                                                    : platform::FILE_END;
  if (offset > static_cast<ZPOS64_T>(std::numeric_limits<std::int64_t>::max())) return -1;
  std::int64_t at = 0;
  return platform::files().SetFilePointerEx(file->handle, static_cast<std::int64_t>(offset), &at,
                                            method)
             ? 0
             : -1;
}

int Close(voidpf, voidpf stream) {
  auto* file = static_cast<ZipFile*>(stream);
  platform::kernel().CloseHandle(file->handle);
  delete file;
  return 0;
}

int Error(voidpf, voidpf stream) {
  return static_cast<ZipFile*>(stream)->error;
}

constexpr std::string_view kPagesPrefix = "Documents/1/Pages/";
constexpr std::string_view kTicket = "Metadata/Job_PT.xml";
constexpr std::string_view kCopiesBefore =
    "JobCopiesAllDocuments\"><psf:Value xsi:type=\"xsd:integer\">";
constexpr std::string_view kCopiesAfter = "</psf:Value>";

// The copies of a print ticket's text; 0 when it names none.
int TicketCopies(unzFile zip) {
  if (unzOpenCurrentFile(zip) != UNZ_OK) return 0;
  std::string text;
  std::vector<char> block(16384);
  while (text.size() < kXpsTicketBytes) {
    const int got = unzReadCurrentFile(zip, block.data(), static_cast<unsigned>(block.size()));
    if (got <= 0) break;
    text.append(block.data(), std::min<std::size_t>(static_cast<std::size_t>(got),
                                                    kXpsTicketBytes - text.size()));
  }
  unzCloseCurrentFile(zip);
  const std::size_t start = text.find(kCopiesBefore);
  if (start == std::string::npos) return 0;
  const std::size_t from = start + kCopiesBefore.size();
  const std::size_t end = text.find(kCopiesAfter, from);
  if (end == std::string::npos) return 0;
  return DecimalValue(std::string_view(text).substr(from, end - from));
}

}  // namespace

bool XpsReader::Read(JobData& source) {
  SetSource(source);
  zlib_filefunc64_def calls{};
  calls.zopen64_file = Open;
  calls.zread_file = ReadBytes;
  calls.zwrite_file = WriteBytes;
  calls.ztell64_file = Tell;
  calls.zseek64_file = SeekTo;
  calls.zclose_file = Close;
  calls.zerror_file = Error;
  const std::wstring path = source.Path();
  unzFile zip = unzOpen2_64(&path, &calls);
  if (zip == nullptr) return false;
  pages = 0;
  copies = 1;
  int found = unzGoToFirstFile(zip);
  std::vector<char> name(65536);
  while (found == UNZ_OK) {
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(zip, &info, name.data(), static_cast<uLong>(name.size()), nullptr,
                                0, nullptr, 0) != UNZ_OK) {
      break;
    }
    const std::string_view entry(name.data(),
                                 std::min<std::size_t>(info.size_filename, name.size() - 1));
    if (entry.substr(0, kPagesPrefix.size()) == kPagesPrefix && !entry.ends_with("/")) {
      const std::string_view rest = entry.substr(kPagesPrefix.size());
      const std::size_t dot = rest.find('.');
      if (dot == std::string_view::npos) break;  // the visit ends; what was found stands
      pages = std::max(pages, DecimalValue(rest.substr(0, dot)));
    } else if (entry == kTicket) {
      const int ticketCopies = TicketCopies(zip);
      if (ticketCopies > 0) copies = ticketCopies;
    }
    found = unzGoToNextFile(zip);
  }
  unzClose(zip);
  // The package is the whole job: detection does not go on in its bytes.
  const std::int64_t size = source.Size();
  if (size > source.Position()) source.Skip(size - source.Position());
  return true;
}

}  // namespace gatelib::printing
