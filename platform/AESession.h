// Questions about the session the program runs in; both are asked afresh at every call
// and are safe from any thread.
#pragma once

// True in an interactive desktop session that can show a notification-area icon
// (Windows: session id not 0 and a visible window station). Always false on Linux,
// whose build shows no tray.
bool IsInteractiveSession();

// True when the user can see the program's console (Windows: a console window exists and
// is visible; Linux: standard output is a terminal).
bool IsConsoleVisible();
