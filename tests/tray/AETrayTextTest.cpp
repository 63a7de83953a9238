// The portable rules of the tray: tooltip text and its cut, menu header and items per
// mode, which icon notifications open the menu, and which links and browsers qualify.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AETray.h"

namespace {

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

struct TCutCase {
  const char* Name;
  std::string Text;
  std::size_t MaxUnits;
  std::string Expected;
};

const std::string kEuro = "\xE2\x82\xAC";          // U+20AC: 3 bytes, 1 unit
const std::string kUmlaut = "\xC3\xA4";            // U+00E4: 2 bytes, 1 unit
const std::string kEmoji = "\xF0\x9F\x94\x8A";     // U+1F50A: 4 bytes, a surrogate pair

TEST(TrayTextCut, CountsUtf16UnitsAndNeverSplitsACharacter) {
  const std::vector<TCutCase> cases = {
      {"shorter than the limit", "abc", 5, "abc"},
      {"exactly the limit", "abcde", 5, "abcde"},
      {"one over the limit", "abcdef", 5, "abcde"},
      {"empty", "", 5, ""},
      {"zero units", "abc", 0, ""},
      {"two- and three-byte characters are one unit each", kUmlaut + kEuro + "xyz", 4, kUmlaut + kEuro + "xy"},
      {"a pair fits whole", "ab" + kEmoji, 4, "ab" + kEmoji},
      {"a pair that would be split is dropped", "abc" + kEmoji + "d", 4, "abc"},
      {"an invalid byte counts as one unit", "a\xFF" "bc", 3, "a\xFF" "b"},
      {"a truncated sequence counts byte by byte", "ab\xE2\x82", 3, "ab\xE2"},
  };
  for (const TCutCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(CutToUtf16Units(c.Text, c.MaxUnits), c.Expected);
  }
}

struct TTipCase {
  const char* Name;
  std::string Title;
  bool HasStatus;
  std::string Status;
  std::string Expected;
};

TEST(TrayTipText, JoinsTitleAndStatusAndCutsTo127Units) {
  const std::string title120 = Repeat('t', 120);
  const std::vector<TTipCase> cases = {
      {"title and status", "KIVU Velkarn 7", true, "hits 12, errors 0", "KIVU Velkarn 7\r\nhits 12, errors 0"},
      {"no status callback: title alone", "KIVU Velkarn 7", false, "", "KIVU Velkarn 7"},
      {"empty status still adds the line break", "KIVU Velkarn 7", true, "", "KIVU Velkarn 7\r\n"},
      {"title of 127: no room for the status", Repeat('t', 127), true, "hits 1, errors 0", Repeat('t', 127)},
      {"title over 127: its first 127 characters", Repeat('t', 200), true, "hits 1", Repeat('t', 127)},
      {"long status loses its end", title120, true, "hits 5, errors 0", title120 + "\r\nhits "},
      {"status of exactly the remaining room", title120, true, "hits1", title120 + "\r\nhits1"},
  };
  for (const TTipCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TAETrayStatus status = c.HasStatus ? TAETrayStatus([&] { return c.Status; }) : TAETrayStatus();
    const std::string tip = TrayTipText(c.Title, status);
    EXPECT_EQ(tip, c.Expected);
    EXPECT_LE(tip.size(), kTrayTipMaxChars);  // all cases here are ASCII: bytes = units
  }
}

TEST(TrayTipText, AsksTheStatusOncePerRefresh) {
  int calls = 0;
  const TAETrayStatus status = [&] { return "hits " + std::to_string(++calls); };
  EXPECT_EQ(TrayTipText("T", status), "T\r\nhits 1");
  EXPECT_EQ(TrayTipText("T", status), "T\r\nhits 2");
  EXPECT_EQ(calls, 2);
}

TEST(TrayMenuHeader, TitleColonStatusOrTitleAlone) {
  EXPECT_EQ(TrayMenuHeader("KIVU Velkarn 3 - Acme", [] { return std::string("hits 4, errors 1"); }),
            "KIVU Velkarn 3 - Acme: hits 4, errors 1");
  EXPECT_EQ(TrayMenuHeader("KIVU Velkarn 3", TAETrayStatus()), "KIVU Velkarn 3");
}

struct TMenuCase {
  const char* Name;
  bool HasUrl;
  TAEConsoleWindow Console;
  std::vector<unsigned> Commands;  // after the header and the separator
  std::vector<std::string> Texts;
};

TEST(TrayMenuItems, EntriesPerModeAndConsole) {
  const std::vector<TMenuCase> cases = {
      {"udp mode, visible console", false, TAEConsoleWindow::Visible, {2, 1}, {"Hide Local Console", "Exit"}},
      {"udp mode, hidden console", false, TAEConsoleWindow::Hidden, {2, 1}, {"Show Local Console", "Exit"}},
      {"udp mode, no console window", false, TAEConsoleWindow::None, {1}, {"Exit"}},
      {"mqtt mode, visible console",
       true,
       TAEConsoleWindow::Visible,
       {3, 2, 1},
       {"Remote Tolvane", "Hide Local Console", "Exit"}},
      {"mqtt mode, no console window", true, TAEConsoleWindow::None, {3, 1}, {"Remote Tolvane", "Exit"}},
  };
  for (const TMenuCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::vector<TAETrayMenuItem> items = TrayMenuItems("H: hits 1, errors 0", c.HasUrl, c.Console);
    ASSERT_EQ(items.size(), c.Commands.size() + 2);
    EXPECT_EQ(items[0].Command, unsigned{kTrayCmdHeader});
    EXPECT_EQ(items[0].Text, "H: hits 1, errors 0");
    EXPECT_TRUE(items[0].Grayed);
    EXPECT_FALSE(items[0].IsDefault || items[0].Separator);
    EXPECT_TRUE(items[1].Separator);
    EXPECT_TRUE(items[1].Text.empty());
    for (std::size_t i = 0; i < c.Commands.size(); ++i) {
      const TAETrayMenuItem& item = items[i + 2];
      EXPECT_EQ(item.Command, c.Commands[i]);
      EXPECT_EQ(item.Text, c.Texts[i]);
      EXPECT_FALSE(item.Separator || item.Grayed);
      EXPECT_EQ(item.IsDefault, item.Command == kTrayCmdWebConsole) << item.Text;
    }
  }
}

TEST(TrayNotification, OnlyButtonReleasesAndTheMenuKeyOpenTheMenu) {
  struct TCase {
    std::uint32_t Message;
    bool Opens;
  };
  const TCase cases[] = {
      {0x007B, true},   // WM_CONTEXTMENU
      {0x0202, true},   // WM_LBUTTONUP
      {0x0205, true},   // WM_RBUTTONUP
      {0x0200, false},  // WM_MOUSEMOVE
      {0x0201, false},  // WM_LBUTTONDOWN
      {0x0203, false},  // WM_LBUTTONDBLCLK
      {0x0204, false},  // WM_RBUTTONDOWN
      {0x0206, false},  // WM_RBUTTONDBLCLK
      {0x0208, false},  // WM_MBUTTONUP
      {0x0400, false},  // NIN_SELECT
      {0x0001007B, false},  // not WM_CONTEXTMENU once the high bits are looked at
  };
  for (const TCase& c : cases) EXPECT_EQ(TrayNotificationOpensMenu(c.Message), c.Opens) << std::hex << c.Message;
}

TEST(TrayBrowser, RetiredBrowserIsKnownByItsFileNameInAnyCase) {
  struct TCase {
    const char* Path;
    bool Retired;
  };
  const TCase cases[] = {
      {"C:\\Program Files\\Internet Explorer\\iexplore.exe", true},
      {"C:\\PROGRAM FILES\\INTERNET EXPLORER\\IEXPLORE.EXE", true},
      {"iExplore.exe", true},
      {"C:/odd/slashes/iexplore.exe", true},
      {"C:\\Program Files\\Microsoft\\Edge\\Application\\msedge.exe", false},
      {"C:\\Tools\\iexplore.exe.bak", false},
      {"C:\\Tools\\myiexplore.exe", false},
      {"C:\\iexplore.exe\\firefox.exe", false},
      {"", false},
  };
  for (const TCase& c : cases) EXPECT_EQ(IsRetiredBrowserPath(c.Path), c.Retired) << c.Path;
}

TEST(TrayWebLink, OnlyHttpAndHttpsLinksGoToTheShell) {
  struct TCase {
    const char* Link;
    bool Web;
  };
  const TCase cases[] = {
      {"https://console.example.net/?tenant=Acme", true},
      {"HTTPS://console.example.net/", true},
      {"http://10.0.0.5:8080/", true},
      {"https://", false},
      {"", false},
      {"C:\\Windows\\System32\\calc.exe", false},
      {"calc.exe", false},
      {"file:///C:/x.html", false},
      {"javascript:alert(1)", false},
      {" https://padded.example.net/", false},
  };
  for (const TCase& c : cases) EXPECT_EQ(IsWebLink(c.Link), c.Web) << c.Link;
}

}  // namespace
