#pragma once

#include <functional>

class QApplication;

// What a program adds to the tool: run once the windows exist and the main
// window shows, before the event loop; the function it returns (may be empty)
// runs after the loop has ended.
using StartupHook = std::function<std::function<void()>(QApplication &app)>;

// The tool's start-up, the one place the application object is made: the
// application's name and icon, the six windows, the main window shown, then
// the event loop until the tool quits. Returns the loop's exit code.
int RunTool(int argc, char *argv[], const StartupHook &hook = {});
