// An INI image in memory with the reading rules the node's configuration relies on:
// lines trimmed, ";" comments, the first occurrence of a key wins, a repeated section
// heading is ignored, names compared without regard to case. Not thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TAEIniFile {
 public:
  // Parses UTF-8 text (any byte-order mark already handled by the caller).
  void Parse(std::string_view text);

  // The value of a key; nullopt for a missing section, a missing key, or a key line
  // without a value.
  std::optional<std::string> Value(std::string_view section, std::string_view key) const;

  // Appends a key line to its section (creating the section at the end); the write
  // order is the file's order.
  void Append(std::string_view section, std::string_view key, std::string_view value);

  // "[Section]" CR LF, key lines, an empty line after every section.
  std::string Text() const;

 private:
  struct TEntry {
    std::string Key;
    std::optional<std::string> Value;
  };
  struct TSection {
    std::string Name;
    std::vector<TEntry> Entries;       // in file order, as written back
    std::vector<std::uint64_t> Slots;  // case-free hash index of Entries
  };
  TSection* FindSection(std::string_view name);
  const TSection* FindSection(std::string_view name) const;
  // The first entry whose key equals `key` without regard to ASCII case.
  static const TEntry* FindEntry(const TSection& section, std::string_view key);
  static void AddEntry(TSection& section, TEntry entry);

  std::vector<TSection> FSections;
};

// Decodes an INI file's bytes: a UTF-8 or UTF-16 byte-order mark selects that encoding;
// otherwise the bytes are in the system's ANSI code page (AnsiToUtf8: on Linux UTF-8
// when well-formed, else Windows-1252).
std::string DecodeIniBytes(std::string_view bytes);
