// Whether the desktop front end can run: a display is named in the environment and,
// when it is a local one, its socket answers.
#pragma once

// True when DISPLAY or WAYLAND_DISPLAY names a display.
bool DisplayAvailable();

// True unless the display named in the environment is a local one whose socket
// does not answer (the toolkit would end the program on it instead of failing).
bool DisplayReachable();
