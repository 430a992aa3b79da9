// Whether the desktop front end can run, and on which of the toolkit's platforms: a
// display is named in the environment and, when it is a local one, its socket
// answers; the toolkit's plugin for it is installed.
#pragma once

#include <functional>
#include <string>

// True when DISPLAY or WAYLAND_DISPLAY names a display.
bool DisplayAvailable();

// True when WAYLAND_DISPLAY names a compositor whose socket answers.
bool WaylandReachable();

// True when DISPLAY names an X server whose local socket answers, or a remote one
// (the toolkit decides about those).
bool X11Reachable();

// The toolkit platform the window runs on: "wayland" where a compositor answers and
// the Wayland plugin is installed, else "xcb" where an X server answers and its
// plugin is installed, else empty with the reason in why (one line, for stderr).
// hasPlugin tells whether the toolkit's plugin of a platform name is installed.
// A QT_QPA_PLATFORM of the user's whose plugins are all installed is kept: the
// result is then that value.
std::string ChooseWindowPlatform(const std::function<bool(const std::string&)>& hasPlugin, std::string& why);
