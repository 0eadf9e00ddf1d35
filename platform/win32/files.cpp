#include "platform/win32/win32.h"

namespace platform::win32 {

bool Win32Files::CreateDirectoryW(const std::wstring& path) {
  return ::CreateDirectoryW(path.c_str(), nullptr) != 0;
}

bool Win32Files::RemoveDirectoryW(const std::wstring& path) {
  return ::RemoveDirectoryW(path.c_str()) != 0;
}

bool Win32Files::DeleteFileW(const std::wstring& path) {
  return ::DeleteFileW(path.c_str()) != 0;
}

bool Win32Files::MoveFileW(const std::wstring& from, const std::wstring& to) {
  return ::MoveFileW(from.c_str(), to.c_str()) != 0;
}

bool Win32Files::MoveFileExW(const std::wstring& from, const std::wstring& to, DWORD flags) {
  return ::MoveFileExW(from.c_str(), to.c_str(), flags) != 0;
}

DWORD Win32Files::GetFileAttributesW(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str());
}

HANDLE Win32Files::CreateFileW(const std::wstring& path, DWORD desiredAccess, DWORD shareMode,
                               DWORD creationDisposition, DWORD flagsAndAttributes) {
  return ::CreateFileW(path.c_str(), desiredAccess, shareMode, nullptr, creationDisposition,
                       flagsAndAttributes != 0 ? flagsAndAttributes : FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

bool Win32Files::ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read) {
  ::DWORD done = 0;
  bool ok = ::ReadFile(file, buffer, size, &done, nullptr) != 0;
  if (read != nullptr) *read = done;
  return ok;
}

bool Win32Files::WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written) {
  ::DWORD done = 0;
  bool ok = ::WriteFile(file, data, size, &done, nullptr) != 0;
  if (written != nullptr) *written = done;
  return ok;
}

bool Win32Files::FlushFileBuffers(HANDLE file) {
  return ::FlushFileBuffers(file) != 0;
}

bool Win32Files::SetFilePointerEx(HANDLE file, std::int64_t distance, std::int64_t* newPosition,
                                  DWORD moveMethod) {
  LARGE_INTEGER move;
  move.QuadPart = distance;
  LARGE_INTEGER at;
  bool ok = ::SetFilePointerEx(file, move, &at, moveMethod) != 0;
  if (ok && newPosition != nullptr) *newPosition = at.QuadPart;
  return ok;
}

bool Win32Files::GetFileSizeEx(HANDLE file, std::int64_t* size) {
  LARGE_INTEGER value;
  bool ok = ::GetFileSizeEx(file, &value) != 0;
  if (ok && size != nullptr) *size = value.QuadPart;
  return ok;
}

bool Win32Files::CreatePipe(HANDLE* readEnd, HANDLE* writeEnd) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return ::CreatePipe(readEnd, writeEnd, &inherit, 0) != 0;
}

HANDLE Win32Files::GetStdHandle(DWORD stdHandle) {
  return ::GetStdHandle(stdHandle);
}

bool Win32Files::GetTempPathW(std::wstring* path) {
  wchar_t buffer[MAX_PATH + 2];
  ::DWORD n = ::GetTempPathW(MAX_PATH + 2, buffer);
  if (n == 0 || n > MAX_PATH + 1) return false;
  if (path != nullptr) path->assign(buffer, n);
  return true;
}

}  // namespace platform::win32
