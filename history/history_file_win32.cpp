// The update history on Windows: %LOCALAPPDATA%\k24update\history.log. The
// folder is made when missing; each record goes in with one write to a file
// opened for appending only, so records of two runs never interleave. Only a
// file on disk is written or read, never a device or a pipe.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "history/history_store.h"

namespace k24 {
namespace {

constexpr const char* kNoPath = "LOCALAPPDATA is not set";
constexpr const char* kNotRegular = "it is not a regular file";
constexpr std::size_t kPieceSize = std::size_t{64} * 1024;

std::wstring LocalAppData() {
  std::vector<wchar_t> value(MAX_PATH);
  for (;;) {
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      return {};
    }
    if (length < value.size()) {
      return std::wstring(value.data(), length);
    }
    value.resize(length);  // the size it needs, its terminator included
  }
}

// A path or a message of Windows's as the console shows text (the ANSI code page).
std::string Narrow(const std::wstring& text) {
  if (text.empty()) {
    return {};
  }
  const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size, nullptr, nullptr);
  return narrow;
}

std::string ErrorText(DWORD error) {
  wchar_t* message = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
      reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::wstring text = length != 0 && message != nullptr ? std::wstring(message, length) : std::wstring();
  if (message != nullptr) {
    LocalFree(message);
  }
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(error) : Narrow(text);
}

class HistoryFile final : public HistoryStore {
 public:
  HistoryFile() {
    const std::wstring base = LocalAppData();
    if (!base.empty()) {
      folder_ = base + L"\\k24update";
      path_ = folder_ + L"\\history.log";
    }
  }

  HistoryWrite Append(std::string_view record) override {
    HistoryWrite written;
    if (path_.empty()) {
      written.reason = kNoPath;
      return written;
    }
    written.location = Narrow(path_);
    if (!CreateDirectoryW(folder_.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      written.reason = ErrorText(GetLastError());
      return written;
    }
    // Append access alone: every write goes to the end of the file.
    const HANDLE file = CreateFileW(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      written.reason = ErrorText(GetLastError());
      return written;
    }
    LARGE_INTEGER sizeBefore{};
    bool partWritten = false;
    if (GetFileType(file) != FILE_TYPE_DISK) {
      written.reason = kNotRegular;
    } else if (!GetFileSizeEx(file, &sizeBefore)) {
      written.reason = ErrorText(GetLastError());
    } else {
      DWORD wrote = 0;
      if (!WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &wrote, nullptr)) {
        written.reason = ErrorText(GetLastError());
      } else if (wrote != record.size()) {
        written.reason = "only " + std::to_string(wrote) + " of " + std::to_string(record.size()) +
                         " bytes of the record were written";
      }
      partWritten = wrote != 0 && wrote != record.size();
    }
    CloseHandle(file);
    if (partWritten) {
      TakeBack(sizeBefore, written.reason);
    }
    written.ok = written.reason.empty();
    return written;
  }

  HistoryRead Read(const HistorySink& sink) override {
    HistoryRead read;
    const HANDLE file = OpenForReading(read);
    if (file == INVALID_HANDLE_VALUE) {
      return read;
    }
    Copy(file, sink, read);
    CloseHandle(file);
    return read;
  }

  HistoryRead ReadTail(std::size_t maxBytes, std::string& tail) override {
    HistoryRead read;
    tail.clear();
    const HANDLE file = OpenForReading(read);
    if (file == INVALID_HANDLE_VALUE) {
      return read;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
      read.reason = ErrorText(GetLastError());
    } else {
      const auto whole = static_cast<std::size_t>(size.QuadPart);
      const std::size_t take = whole < maxBytes ? whole : maxBytes;
      LARGE_INTEGER from{};
      from.QuadPart = static_cast<LONGLONG>(whole - take);
      tail.resize(take);
      DWORD got = 0;
      if (!SetFilePointerEx(file, from, nullptr, FILE_BEGIN) ||
          !ReadFile(file, tail.data(), static_cast<DWORD>(take), &got, nullptr)) {
        read.reason = ErrorText(GetLastError());
        tail.clear();
      } else {
        tail.resize(got);
        read.status = HistoryRead::Status::Read;
      }
    }
    CloseHandle(file);
    return read;
  }

 private:
  // Opens the history to read it; INVALID_HANDLE_VALUE, with the status and
  // reason in `read`, when it is not there or not a file on disk.
  HANDLE OpenForReading(HistoryRead& read) const {
    if (path_.empty()) {
      read.reason = kNoPath;
      return INVALID_HANDLE_VALUE;
    }
    read.location = Narrow(path_);
    const HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      read.status = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? HistoryRead::Status::Missing
                                                                                   : HistoryRead::Status::Unreadable;
      read.reason = ErrorText(error);
      return INVALID_HANDLE_VALUE;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
      read.reason = kNotRegular;
      CloseHandle(file);
      return INVALID_HANDLE_VALUE;
    }
    return file;
  }

  // A part of a record is taken back, so that the next record does not begin
  // in the middle of a line. The handle that appends cannot shorten the file,
  // so another one does; the instance lock keeps any other run of the program
  // from writing meanwhile.
  void TakeBack(LARGE_INTEGER sizeBefore, std::string& reason) const {
    const HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool takenBack = file != INVALID_HANDLE_VALUE && SetFilePointerEx(file, sizeBefore, nullptr, FILE_BEGIN) &&
                           SetEndOfFile(file);
    if (!takenBack) {
      reason += ", and they could not be taken back: " + ErrorText(GetLastError());
    }
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
    }
  }

  static void Copy(HANDLE file, const HistorySink& sink, HistoryRead& read) {
    std::string piece(kPieceSize, '\0');
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(file, piece.data(), static_cast<DWORD>(piece.size()), &got, nullptr)) {
        read.reason = ErrorText(GetLastError());
        return;
      }
      if (got == 0) {
        read.status = HistoryRead::Status::Read;
        return;
      }
      if (!sink(std::string_view(piece.data(), got), read.reason)) {
        read.status = HistoryRead::Status::NotShown;
        return;
      }
    }
  }

  std::wstring folder_;
  std::wstring path_;
};

}  // namespace

std::unique_ptr<HistoryStore> MakeSystemHistoryStore() { return std::make_unique<HistoryFile>(); }

}  // namespace k24
