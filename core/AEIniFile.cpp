#include "AEIniFile.h"

#include <unordered_set>
#include <utility>

#include "AEConvert.h"
#include "AELocale.h"

namespace {

// FNV-1a over the bytes as EqualsNoCase sees them, so equal names hash alike.
std::uint32_t KeyHash(std::string_view key) {
  std::uint32_t hash = 2166136261u;
  for (const char c : key) {
    hash ^= static_cast<unsigned char>(LowerAsciiChar(c));
    hash *= 16777619u;
  }
  return hash;
}

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
  // Finding an earlier occurrence must not grow with the file: comparing each key with
  // every earlier one took 16 s for 40,000 keys. Keys go through the section's index.
  std::unordered_set<std::string> sectionsSeen;  // lower-cased
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = TrimView(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
      const std::string name = Trim(line.substr(1, line.size() - 2));
      ignoring = !sectionsSeen.insert(LowerAscii(name)).second;
      if (!ignoring) {
        FSections.push_back({name, {}, {}});
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
    if (FindEntry(*current, entry.Key) == nullptr) AddEntry(*current, std::move(entry));
  }
}

std::optional<std::string> TAEIniFile::Value(std::string_view section, std::string_view key) const {
  const TSection* s = FindSection(section);
  if (s == nullptr) return std::nullopt;
  const TEntry* e = FindEntry(*s, key);
  if (e == nullptr || !e->Value || e->Value->empty()) return std::nullopt;
  return e->Value;
}

void TAEIniFile::Append(std::string_view section, std::string_view key, std::string_view value) {
  TSection* s = FindSection(section);
  if (s == nullptr) {
    FSections.push_back({std::string(section), {}, {}});
    s = &FSections.back();
  }
  AddEntry(*s, {std::string(key), std::string(value)});
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

// Linear probing in a table at most half full; a slot holds the key's hash in its upper
// half and its entry's index + 1 in the lower (0 = empty). Equal keys probe the same
// path in the order they were added, so the first occurrence is found first.
const TAEIniFile::TEntry* TAEIniFile::FindEntry(const TSection& section, std::string_view key) {
  if (section.Slots.empty()) return nullptr;
  const std::uint32_t hash = KeyHash(key);
  const std::size_t mask = section.Slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const std::uint64_t slot = section.Slots[i];
    if (slot == 0) return nullptr;
    const TEntry& entry = section.Entries[static_cast<std::uint32_t>(slot) - 1];
    if (slot >> 32 == hash && EqualsNoCase(entry.Key, key)) return &entry;
  }
}

void TAEIniFile::AddEntry(TSection& section, TEntry entry) {
  section.Entries.push_back(std::move(entry));
  const auto place = [&section](std::size_t index) {
    const std::uint32_t hash = KeyHash(section.Entries[index].Key);
    const std::size_t mask = section.Slots.size() - 1;
    std::size_t i = hash & mask;
    while (section.Slots[i] != 0) i = (i + 1) & mask;
    section.Slots[i] = static_cast<std::uint64_t>(hash) << 32 | (index + 1);
  };
  if (2 * section.Entries.size() <= section.Slots.size()) {
    place(section.Entries.size() - 1);
    return;
  }
  section.Slots.assign(section.Slots.empty() ? 16 : 2 * section.Slots.size(), 0);  // a power of 2
  for (std::size_t index = 0; index < section.Entries.size(); ++index) place(index);
}
