#include "AEIniFile.h"

#include "AEConvert.h"
#include "AELocale.h"

namespace {

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  std::string out;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
    char32_t u = bigEndian ? static_cast<char32_t>(b0 << 8 | b1) : static_cast<char32_t>(b1 << 8 | b0);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      const auto c0 = static_cast<unsigned char>(bytes[i + 2]);
      const auto c1 = static_cast<unsigned char>(bytes[i + 3]);
      const char32_t lo = bigEndian ? static_cast<char32_t>(c0 << 8 | c1) : static_cast<char32_t>(c1 << 8 | c0);
      if (lo >= 0xDC00 && lo < 0xE000) {
        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        i += 2;
      }
    }
    AppendUtf8(out, u);
  }
  return out;
}

}  // namespace

std::string DecodeIniBytes(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) return std::string(bytes.substr(3));
  if (bytes.starts_with("\xFF\xFE")) return Utf16ToUtf8(bytes.substr(2), false);
  if (bytes.starts_with("\xFE\xFF")) return Utf16ToUtf8(bytes.substr(2), true);
  return AnsiToUtf8(bytes);
}

void TAEIniFile::Parse(std::string_view text) {
  FSections.clear();
  TSection* current = nullptr;
  bool ignoring = false;  // under a repeated heading
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = TrimView(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
      const std::string name = Trim(line.substr(1, line.size() - 2));
      current = FindSection(name);
      ignoring = current != nullptr;
      if (!ignoring) {
        FSections.push_back({name, {}});
        current = &FSections.back();
      }
      continue;
    }
    if (current == nullptr || ignoring) continue;
    const std::size_t eq = line.find('=');
    TEntry entry;
    if (eq == std::string_view::npos) {
      entry.Key = std::string(line);
    } else {
      entry.Key = Trim(line.substr(0, eq));
      entry.Value = Trim(line.substr(eq + 1));
    }
    bool seen = false;
    for (const TEntry& e : current->Entries) seen = seen || EqualsNoCase(e.Key, entry.Key);
    if (!seen) current->Entries.push_back(std::move(entry));
  }
}

std::optional<std::string> TAEIniFile::Value(std::string_view section, std::string_view key) const {
  const TSection* s = FindSection(section);
  if (s == nullptr) return std::nullopt;
  for (const TEntry& e : s->Entries)
    if (EqualsNoCase(e.Key, key)) {
      if (!e.Value || e.Value->empty()) return std::nullopt;
      return e.Value;
    }
  return std::nullopt;
}

void TAEIniFile::Append(std::string_view section, std::string_view key, std::string_view value) {
  TSection* s = FindSection(section);
  if (s == nullptr) {
    FSections.push_back({std::string(section), {}});
    s = &FSections.back();
  }
  s->Entries.push_back({std::string(key), std::string(value)});
}

std::string TAEIniFile::Text() const {
  std::string out;
  for (const TSection& s : FSections) {
    out += "[" + s.Name + "]\r\n";
    for (const TEntry& e : s.Entries) out += e.Key + "=" + e.Value.value_or("") + "\r\n";
    out += "\r\n";
  }
  return out;
}

TAEIniFile::TSection* TAEIniFile::FindSection(std::string_view name) {
  for (TSection& s : FSections)
    if (EqualsNoCase(s.Name, name)) return &s;
  return nullptr;
}

const TAEIniFile::TSection* TAEIniFile::FindSection(std::string_view name) const {
  for (const TSection& s : FSections)
    if (EqualsNoCase(s.Name, name)) return &s;
  return nullptr;
}
