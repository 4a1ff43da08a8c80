#pragma once
// File access for the data folder: bounded reads that tell "absent" from
// "unreadable", and the one safe-replace writer every data file goes through.

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "host/common/host_result.h"

namespace orvane {

// Paths carry UTF-8 inside; these convert without the ANSI code page.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

enum class FileReadStatus {
  kOk,          // bytes hold the whole file
  kAbsent,      // the file (or its folder) does not exist
  kUnreadable,  // it exists but could not be opened or read (sharing, access, I/O)
  kTooLarge,    // larger than the caller's bound; nothing was read
};

struct FileReadResult {
  FileReadStatus status = FileReadStatus::kAbsent;
  std::string bytes;
  int error = 0;  // the system error number, when there is one
};

const char* FileReadStatusName(FileReadStatus status);

FileReadResult ReadFileBounded(const std::filesystem::path& path, size_t max_bytes);

// Writes path + ".tmp", flushes it to the disk, then moves it over path
// (replace existing, write-through). The target is never left half written.
// Codes: 1 the temporary file could not be written, 2 the move failed.
bool SafeReplaceFile(const std::filesystem::path& path, std::string_view bytes, HostResult* result = nullptr);

// Creates the folder and its parents; true when it exists afterwards.
bool EnsureDirectory(const std::filesystem::path& path);

// Opens a file with the C library, sharing read and write with other openers
// (mode as for fopen, e.g. "a"). nullptr on failure.
std::FILE* OpenSharedFile(const std::filesystem::path& path, const char* mode);

}  // namespace orvane
