// The update history's file on Windows, in a temporary folder standing for
// %LOCALAPPDATA%: what --history is handed, a piece at a time.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "history/history_store.h"

namespace k24 {
namespace {

namespace fs = std::filesystem;

HistoryRead ReadThrough(HistoryStore& store, std::string& text) {
  return store.Read([&](std::string_view piece, std::string&) {
    EXPECT_FALSE(piece.empty());
    text += piece;
    return true;
  });
}

TEST(Win32HistoryFile, NoneThenEmptyThenEachRecordAsWritten) {
  const fs::path base = fs::temp_directory_path() / ("k24-history-" + std::to_string(GetCurrentProcessId()));
  fs::remove_all(base);
  fs::create_directories(base);
  ASSERT_TRUE(SetEnvironmentVariableW(L"LOCALAPPDATA", base.wstring().c_str()));
  const fs::path file = base / "k24update" / "history.log";

  std::string text;
  EXPECT_EQ(ReadThrough(*MakeSystemHistoryStore(), text).status, HistoryRead::Status::Missing);

  fs::create_directories(file.parent_path());
  std::ofstream(file).close();
  EXPECT_EQ(ReadThrough(*MakeSystemHistoryStore(), text).status, HistoryRead::Status::Read)
      << "a file that is there and empty is an empty history";
  EXPECT_EQ(text, "");

  const std::unique_ptr<HistoryStore> store = MakeSystemHistoryStore();
  // More than one piece: the reader is handed it all, in order.
  const std::string big = "run: 1\n" + std::string(100'000, 'x') + "\n\n";
  const HistoryWrite first = store->Append(big);
  EXPECT_TRUE(first.ok) << first.reason;
  EXPECT_TRUE(store->Append("run: 2\n\n").ok);
  const HistoryRead read = ReadThrough(*store, text);
  EXPECT_EQ(read.status, HistoryRead::Status::Read) << read.reason;
  EXPECT_EQ(text, big + "run: 2\n\n");

  std::string shown;
  const HistoryRead refused = store->Read([&](std::string_view piece, std::string& reason) {
    shown += piece;
    reason = "standard output: full";
    return false;
  });
  EXPECT_EQ(refused.status, HistoryRead::Status::NotShown);
  EXPECT_EQ(refused.reason, "standard output: full");
  EXPECT_LT(shown.size(), big.size()) << "it stops at the first piece not taken";

  // The end of the history, for the next run's look at its last records.
  std::string tail;
  const HistoryRead end = store->ReadTail(12, tail);
  EXPECT_EQ(end.status, HistoryRead::Status::Read) << end.reason;
  EXPECT_EQ(tail, "xx\n\nrun: 2\n\n");
  EXPECT_EQ(store->ReadTail(1'000'000, tail).status, HistoryRead::Status::Read);
  EXPECT_EQ(tail, big + "run: 2\n\n");
  fs::remove_all(base);
  EXPECT_EQ(store->ReadTail(12, tail).status, HistoryRead::Status::Missing);
  EXPECT_EQ(tail, "");
}

}  // namespace
}  // namespace k24
