#pragma once
// Ready-made simulated applications for runtime tests. Each helper adds to a SimDesktop and
// returns the pieces a test wants to change or check afterwards.

#include <cstdint>
#include <optional>
#include <string>

#include "core/geometry.h"
#include "platform/sim/sim_desktop.h"

namespace qor::testing {

// Adds an on-screen layer-0 window of `app` at the back of the window list, with an Accessibility
// window of the same frame appended to the application's "AXWindows". The record and the element
// are linked, so SimWindow::moveBy() moves both.
sim::SimElement::Ptr addAppWindow(sim::SimDesktop& desktop, sim::SimApplication& app,
                                  std::int64_t number, Frame frame, const std::string& title);

// A small text editor, installed, running and in front, with one window:
//
//   AXApplication "Editor"           focused window: window, focused element: text
//     AXWindow "Untitled"            number kWindow, frame kFrame, actions AXRaise
//       AXTextArea                   value "Hello", identifier "editor.text", description
//       AXButton "Save"              actions AXPress, enabled, help
//       AXTextField "Password"       subrole AXSecureTextField, value "secret"
//     AXMenuBar
//       AXMenuBarItem "File"         actions AXPress
struct EditorFixture {
  static constexpr desktop::Pid kPid = 501;
  static constexpr const char* kBundle = "com.example.editor";
  static constexpr const char* kName = "Editor";
  static constexpr const char* kPath = "/Applications/Editor.app";
  static constexpr std::int64_t kWindow = 42;
  static constexpr Frame kFrame{100, 100, 800, 600};

  sim::SimApplication* app = nullptr;
  sim::SimElement::Ptr window;
  sim::SimElement::Ptr text;
  sim::SimElement::Ptr save;
  sim::SimElement::Ptr password;
  sim::SimElement::Ptr menuBar;
  sim::SimElement::Ptr fileMenu;
};
EditorFixture addEditor(sim::SimDesktop& desktop);

// Another regular application with one window (number kWindow), not in front unless made so.
struct OtherAppFixture {
  static constexpr desktop::Pid kPid = 600;
  static constexpr const char* kBundle = "com.example.other";
  static constexpr std::int64_t kWindow = 60;
  static constexpr Frame kFrame{0, 0, 1024, 768};

  sim::SimApplication* app = nullptr;
  sim::SimElement::Ptr window;
};
OtherAppFixture addOtherApp(sim::SimDesktop& desktop);

}  // namespace qor::testing
