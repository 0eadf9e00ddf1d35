#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <mutex>

#include "platform/sim/areas.h"

namespace platform::sim {
namespace {

// ENOENT is "file not found" when the parent folder exists, "path not found" otherwise.
DWORD MissingError(const std::string& path) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  std::error_code ec;
  if (parent.empty() || std::filesystem::is_directory(parent, ec)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

DWORD LastPosixError(const std::string& path) {
  int e = errno;
  if (e == ENOENT) return MissingError(path);
  return ErrorFromErrno(e);
}

}  // namespace

namespace {

std::mutex folderLock;
std::filesystem::path processFolder;  // the folder of the process's machine

}  // namespace

void Machine::SetProcessFolder(const std::filesystem::path& folder) {
  std::lock_guard<std::mutex> guard(folderLock);
  processFolder = folder;
}

std::string Machine::HostPath(const std::wstring& path) {
  std::filesystem::path folder;
  {
    std::lock_guard<std::mutex> guard(folderLock);
    folder = processFolder;
  }
  return HostPath(folder, path);
}

std::string Machine::HostPath(const std::filesystem::path& folder, const std::wstring& path) {
  std::string host = Utf8FromWide(path);
  for (char& c : host) {
    if (c == '\\') c = '/';
  }
  // "X:" alone or followed by a separator: a drive of the machine. C: is the folder itself,
  // another letter the folder's "drive_x".
  bool drive = host.size() >= 2 && host[1] == ':' &&
               std::isalpha(static_cast<unsigned char>(host[0])) &&
               (host.size() == 2 || host[2] == '/');
  if (!drive || folder.empty()) return host;
  char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(host[0])));
  std::string root = folder.string();
  if (letter != 'c') root += std::string("/drive_") + letter;
  std::string rest = host.substr(2);
  while (!rest.empty() && rest.front() == '/') rest.erase(rest.begin());
  return rest.empty() ? root : root + "/" + rest;
}

bool SimFiles::CreateDirectoryW(const std::wstring& path) {
  std::string host = Machine::HostPath(path);
  if (::mkdir(host.c_str(), 0777) == 0) return true;
  int e = errno;
  if (e == EEXIST) return Fail(ERROR_ALREADY_EXISTS, false);
  if (e == ENOENT || e == ENOTDIR) return Fail(ERROR_PATH_NOT_FOUND, false);
  return Fail(ErrorFromErrno(e), false);
}

bool SimFiles::RemoveDirectoryW(const std::wstring& path) {
  std::string host = Machine::HostPath(path);
  if (::rmdir(host.c_str()) == 0) return true;
  if (errno == ENOTDIR) return Fail(ERROR_DIRECTORY, false);
  return Fail(LastPosixError(host), false);
}

bool SimFiles::DeleteFileW(const std::wstring& path) {
  std::string host = Machine::HostPath(path);
  struct stat st {};
  if (::lstat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return Fail(ERROR_ACCESS_DENIED, false);
  }
  if (::unlink(host.c_str()) == 0) return true;
  return Fail(LastPosixError(host), false);
}

bool SimFiles::MoveFileW(const std::wstring& from, const std::wstring& to) {
  std::string source = Machine::HostPath(from);
  std::string target = Machine::HostPath(to);
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno == EEXIST) return Fail(ERROR_ALREADY_EXISTS, false);
  return Fail(LastPosixError(source), false);
}

bool SimFiles::MoveFileExW(const std::wstring& from, const std::wstring& to, DWORD flags) {
  if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) return MoveFileW(from, to);
  std::string source = Machine::HostPath(from);
  if (::rename(source.c_str(), Machine::HostPath(to).c_str()) == 0) return true;
  return Fail(LastPosixError(source), false);
}

DWORD SimFiles::GetFileAttributesW(const std::wstring& path) {
  std::string host = Machine::HostPath(path);
  struct stat st {};
  if (::stat(host.c_str(), &st) != 0) return Fail(LastPosixError(host), INVALID_FILE_ATTRIBUTES);
  return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

HANDLE SimFiles::CreateFileW(const std::wstring& path, DWORD desiredAccess, DWORD /*shareMode*/,
                             DWORD creationDisposition, DWORD flagsAndAttributes) {
  std::string host = Machine::HostPath(path);
  bool read = (desiredAccess & GENERIC_READ) != 0;
  bool write = (desiredAccess & GENERIC_WRITE) != 0;
  bool append = (desiredAccess & FILE_APPEND_DATA) != 0 && !write;
  int flags = O_CLOEXEC;
  if ((write || append) && read) {
    flags |= O_RDWR;
  } else if (write || append) {
    flags |= O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  if (append) flags |= O_APPEND;
  switch (creationDisposition) {
    case CREATE_NEW:
      flags |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
    case OPEN_EXISTING:
      break;
    case OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      flags |= O_TRUNC;
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  int fd = ::open(host.c_str(), flags, 0666);
  if (fd < 0) {
    if (errno == EEXIST) return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
    return Fail(LastPosixError(host), INVALID_HANDLE_VALUE);
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  }
  if ((flagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) != 0)
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint: its failure changes nothing
  return handles_.Add(std::make_shared<FileObject>(fd, append));
}

bool SimFiles::ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read) {
  auto f = handles_.FindAs<FileObject>(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE, false);
  ssize_t n;
  do {
    n = ::read(f->Fd(), buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail(ErrorFromErrno(errno), false);
  if (read != nullptr) *read = static_cast<DWORD>(n);
  if (n == 0 && size > 0) {
    struct stat st {};
    if (::fstat(f->Fd(), &st) == 0 && S_ISFIFO(st.st_mode)) return Fail(ERROR_BROKEN_PIPE, false);
  }
  return true;
}

bool SimFiles::WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written) {
  auto f = handles_.FindAs<FileObject>(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE, false);
  const char* p = static_cast<const char*>(data);
  DWORD done = 0;
  while (done < size) {
    ssize_t n = ::write(f->Fd(), p + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (written != nullptr) *written = done;
      return Fail(errno == EPIPE ? ERROR_BROKEN_PIPE : ErrorFromErrno(errno), false);
    }
    done += static_cast<DWORD>(n);
  }
  if (written != nullptr) *written = done;
  return true;
}

bool SimFiles::FlushFileBuffers(HANDLE file) {
  auto f = handles_.FindAs<FileObject>(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE, false);
  if (::fsync(f->Fd()) != 0 && errno != EINVAL) return Fail(ErrorFromErrno(errno), false);
  return true;
}

bool SimFiles::SetFilePointerEx(HANDLE file, std::int64_t distance, std::int64_t* newPosition,
                                DWORD moveMethod) {
  auto f = handles_.FindAs<FileObject>(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE, false);
  int whence = moveMethod == FILE_BEGIN     ? SEEK_SET
               : moveMethod == FILE_CURRENT ? SEEK_CUR
                                            : SEEK_END;
  if (moveMethod > FILE_END) return Fail(ERROR_INVALID_PARAMETER, false);
  off_t at = ::lseek(f->Fd(), static_cast<off_t>(distance), whence);
  if (at < 0)
    return Fail(errno == EINVAL ? 131u : ErrorFromErrno(errno), false);  // ERROR_NEGATIVE_SEEK
  if (newPosition != nullptr) *newPosition = at;
  return true;
}

bool SimFiles::GetFileSizeEx(HANDLE file, std::int64_t* size) {
  auto f = handles_.FindAs<FileObject>(file);
  if (!f || size == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  struct stat st {};
  if (::fstat(f->Fd(), &st) != 0) return Fail(ErrorFromErrno(errno), false);
  *size = st.st_size;
  return true;
}

bool SimFiles::CreatePipe(HANDLE* readEnd, HANDLE* writeEnd) {
  int fds[2];
  if (readEnd == nullptr || writeEnd == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
  if (::pipe2(fds, O_CLOEXEC) != 0) return Fail(ErrorFromErrno(errno), false);
  *readEnd = handles_.Add(std::make_shared<FileObject>(fds[0]));
  *writeEnd = handles_.Add(std::make_shared<FileObject>(fds[1]));
  return true;
}

HANDLE SimFiles::GetStdHandle(DWORD stdHandle) {
  int index = stdHandle == STD_INPUT_HANDLE    ? 0
              : stdHandle == STD_OUTPUT_HANDLE ? 1
              : stdHandle == STD_ERROR_HANDLE  ? 2
                                               : -1;
  if (index < 0) return Fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
  std::lock_guard<std::mutex> guard(stdLock_);
  if (std_[index] == nullptr) {
    // A descriptor of its own, so that closing the handle leaves the process's stream open.
    int fd = ::fcntl(index, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return Fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
    std_[index] = handles_.Add(std::make_shared<FileObject>(fd));
  }
  return std_[index];
}

bool SimFiles::GetTempPathW(std::wstring* path) {
  if (path == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
  // The simulated machine's temporary folder is the host's.
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
  if (ec) return Fail(ErrorFromErrno(ec.value()), false);
  std::string text = folder.string();
  if (text.empty() || text.back() != '/') text += '/';
  *path = WideFromUtf8(text);
  return true;
}

}  // namespace platform::sim
