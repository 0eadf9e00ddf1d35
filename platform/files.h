// Files and folders, with Windows semantics and error codes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace platform {

class Files {
 public:
  virtual ~Files() = default;

  // CreateDirectoryW: false with ERROR_ALREADY_EXISTS when anything stands at the path,
  // ERROR_PATH_NOT_FOUND when the parent is missing or is not a folder.
  virtual bool CreateDirectoryW(const std::wstring& path) = 0;
  virtual bool RemoveDirectoryW(const std::wstring& path) = 0;
  virtual bool DeleteFileW(const std::wstring& path) = 0;
  // MoveFileW: fails with ERROR_ALREADY_EXISTS when the target exists.
  virtual bool MoveFileW(const std::wstring& from, const std::wstring& to) = 0;
  // MoveFileExW: with MOVEFILE_REPLACE_EXISTING an existing target is replaced atomically.
  virtual bool MoveFileExW(const std::wstring& from, const std::wstring& to, DWORD flags) = 0;
  virtual DWORD GetFileAttributesW(const std::wstring& path) = 0;

  // CreateFileW: desired access GENERIC_READ / GENERIC_WRITE / FILE_APPEND_DATA, a creation
  // disposition (CREATE_NEW … TRUNCATE_EXISTING) and flags such as FILE_FLAG_SEQUENTIAL_SCAN
  // (a caching hint). INVALID_HANDLE_VALUE on failure.
  virtual HANDLE CreateFileW(const std::wstring& path, DWORD desiredAccess, DWORD shareMode,
                             DWORD creationDisposition, DWORD flagsAndAttributes = 0) = 0;
  // ReadFile / WriteFile on files and pipe ends. A read of 0 bytes at the end of a file
  // succeeds; a read from a pipe whose writer is gone fails with ERROR_BROKEN_PIPE.
  virtual bool ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read) = 0;
  virtual bool WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written) = 0;
  virtual bool FlushFileBuffers(HANDLE file) = 0;
  virtual bool SetFilePointerEx(HANDLE file, std::int64_t distance, std::int64_t* newPosition,
                                DWORD moveMethod) = 0;
  virtual bool GetFileSizeEx(HANDLE file, std::int64_t* size) = 0;
  // CreatePipe: an anonymous pipe, both ends inheritable by child processes.
  virtual bool CreatePipe(HANDLE* readEnd, HANDLE* writeEnd) = 0;
  // Files are closed with Kernel::CloseHandle.

  // GetStdHandle: the process's standard input, output or error (STD_INPUT_HANDLE …), read
  // and written with ReadFile / WriteFile. The same handle every time; not to be closed.
  // INVALID_HANDLE_VALUE when the process has no such stream.
  virtual HANDLE GetStdHandle(DWORD stdHandle) = 0;
  // GetTempPathW: the folder for temporary files, with a trailing separator.
  virtual bool GetTempPathW(std::wstring* path) = 0;
};

}  // namespace platform
