#include "AETray.h"

#include <utility>

#include "AEConvert.h"

namespace {

// Length in bytes of the UTF-8 sequence starting at text[i], and the UTF-16 units it
// becomes; an invalid or truncated sequence is one byte, one unit.
struct TUtf8Step {
  std::size_t Bytes;
  std::size_t Units;
};

TUtf8Step NextUtf8(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t len = 0;
  if (lead < 0x80) return {1, 1};
  if (lead >= 0xC2 && lead <= 0xDF) len = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) len = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) len = 4;
  else return {1, 1};
  if (i + len > text.size()) return {1, 1};
  for (std::size_t k = 1; k < len; ++k)
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return {1, 1};
  return {len, len == 4 ? 2u : 1u};
}

}  // namespace

std::string CutToUtf16Units(std::string_view utf8, std::size_t maxUnits) {
  std::size_t i = 0;
  std::size_t units = 0;
  while (i < utf8.size()) {
    const TUtf8Step step = NextUtf8(utf8, i);
    if (units + step.Units > maxUnits) break;
    units += step.Units;
    i += step.Bytes;
  }
  return std::string(utf8.substr(0, i));
}

std::string TrayTipText(const std::string& title, const TAETrayStatus& status) {
  std::string text = title;
  if (status) text += "\r\n" + status();
  return CutToUtf16Units(text, kTrayTipMaxChars);
}

std::string TrayMenuHeader(const std::string& title, const TAETrayStatus& status) {
  return status ? title + ": " + status() : title;
}

std::vector<TAETrayMenuItem> TrayMenuItems(const std::string& header, bool hasConsoleUrl,
                                           TAEConsoleWindow console) {
  const auto entry = [](unsigned command, std::string text) {
    TAETrayMenuItem item;
    item.Command = command;
    item.Text = std::move(text);
    return item;
  };
  std::vector<TAETrayMenuItem> items;
  items.push_back(entry(kTrayCmdHeader, header));
  items.back().Grayed = true;
  items.emplace_back().Separator = true;
  if (hasConsoleUrl) {
    items.push_back(entry(kTrayCmdWebConsole, "Remote Tolvane"));
    items.back().IsDefault = true;
  }
  if (console != TAEConsoleWindow::None)
    items.push_back(
        entry(kTrayCmdConsole, console == TAEConsoleWindow::Visible ? "Hide Local Console" : "Show Local Console"));
  items.push_back(entry(kTrayCmdExit, "Exit"));
  return items;
}

bool TrayNotificationOpensMenu(std::uint32_t notification) {
  constexpr std::uint32_t kContextMenu = 0x007B;  // WM_CONTEXTMENU
  constexpr std::uint32_t kLButtonUp = 0x0202;    // WM_LBUTTONUP
  constexpr std::uint32_t kRButtonUp = 0x0205;    // WM_RBUTTONUP
  return notification == kContextMenu || notification == kLButtonUp || notification == kRButtonUp;
}

bool IsRetiredBrowserPath(std::string_view executablePath) {
  const std::size_t slash = executablePath.find_last_of("\\/");
  const std::string_view name = slash == std::string_view::npos ? executablePath : executablePath.substr(slash + 1);
  return EqualsNoCase(name, "iexplore.exe");
}

bool IsWebLink(std::string_view link) {
  for (std::string_view scheme : {std::string_view("https://"), std::string_view("http://")})
    if (link.size() > scheme.size() && StartsWithNoCase(link, scheme)) return true;
  return false;
}
