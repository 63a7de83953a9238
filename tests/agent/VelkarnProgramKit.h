// The real executable for end-to-end tests: a copy in the test's folder beside its own
// INI, run with its standard output in a file there, and what it printed read back.
#pragma once

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "AETestProcess.h"
#include "VelkarnTestKit.h"
#include "common/AEPollUntil.h"

// The text cut at each LF, a CR before it dropped; a last line without LF counts too.
inline std::vector<std::string> OutputLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t lf = text.find('\n', pos);
    if (lf == std::string::npos) lf = text.size();
    std::size_t end = lf;
    if (end > pos && text[end - 1] == '\r') --end;
    lines.push_back(text.substr(pos, end - pos));
    pos = lf + 1;
  }
  return lines;
}

// The records of the hit files under dataRoot that the program wrote at or after from (a
// FileTime): the hits it made, whatever reached a subscriber. A file still being
// written is left out.
inline std::vector<TAEHitRecord> HitsWrittenSince(const std::string& dataRoot, std::int64_t from) {
  std::vector<TAEHitRecord> hits;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dataRoot, ec)) {
    if (!e.is_regular_file() || e.path().extension() != ".aeh") continue;
    const std::string bytes = ReadFileBytes(e.path());
    if (bytes.size() < 4 + sizeof(TAEHitRecord)) continue;
    TAEHitRecord h;
    std::memcpy(&h, bytes.data() + 4, sizeof h);
    if (h.FileTime >= from) hits.push_back(h);
  }
  return hits;
}

class TVelkarnCopy {
 public:
  // Copies the built program into folder; the name stays, so the INI beside it is found.
  explicit TVelkarnCopy(const TAETempDir& folder)
      : FFolder(folder),
        FExe((folder.Path() / std::filesystem::path(VelkarnExePath()).filename()).string()),
        FIni(std::filesystem::path(FExe).replace_extension(".ini").string()) {
    std::filesystem::copy_file(VelkarnExePath(), FExe);
  }
  const std::string& Exe() const { return FExe; }
  const std::string& Ini() const { return FIni; }

  // The INI from values with over applied on top. withBom: UTF-8 with its mark, so that
  // the bytes reach the program as written.
  void WriteIni(TIniValues values, const TIniValues& over, bool withBom = false) const {
    for (const auto& [k, val] : over) values[k] = val;
    WriteFileBytes(FIni, (withBom ? "\xEF\xBB\xBF" : "") + IniText(values));
  }
  TTestProcess::TOptions Options(std::vector<std::string> args, const std::string& out = "out.txt") const {
    TTestProcess::TOptions o;
    o.Exe = FExe;
    o.Args = std::move(args);
    o.StdoutPath = FFolder.Str(out);
    o.TempFolder = FFolder.Str();
    return o;
  }
  std::unique_ptr<TTestProcess> Run(std::vector<std::string> args) const {
    return std::make_unique<TTestProcess>(Options(std::move(args)));
  }
  std::string Output(const std::string& out = "out.txt") const { return ReadFileBytes(FFolder.Path() / out); }
  // Waits until the output matches, at most limit (another process: checked every 50 ms).
  bool WaitForOutput(const std::regex& re, std::chrono::milliseconds limit) const {
    return PollUntil([&] { return std::regex_search(Output(), re); }, limit, std::chrono::milliseconds(50));
  }
  // The file the program wrote for hit h under its data root.
  std::string HitFile(const std::string& dataRoot, const TAEHitRecord& h) const {
    return ReadFileBytes(HitFileName(dataRoot, h.Channel, h.FileTime, h.Seq));
  }

 private:
  const TAETempDir& FFolder;
  std::string FExe;
  std::string FIni;
};
