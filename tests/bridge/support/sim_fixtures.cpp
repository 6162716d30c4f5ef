#include "bridge/support/sim_fixtures.h"

#include <utility>
#include <variant>
#include <vector>

namespace qor::testing {

sim::SimElement::Ptr addAppWindow(sim::SimDesktop& desktop, sim::SimApplication& app,
                                  std::int64_t number, Frame frame, const std::string& title) {
  auto window = sim::element("AXWindow")->title(title)->frame(frame);
  desktop::AXRead listed = app.element->read("AXWindows");
  auto windows = std::get_if<std::vector<desktop::ElementRef>>(&listed.value);
  std::vector<desktop::ElementRef> all = windows ? *windows : std::vector<desktop::ElementRef>{};
  all.push_back(window);
  app.element->attribute("AXWindows", std::move(all));
  desktop.addWindow(number, app.pid, frame, title).element = window;
  return window;
}

EditorFixture addEditor(sim::SimDesktop& desktop) {
  EditorFixture editor;
  desktop.install(EditorFixture::kBundle, EditorFixture::kName, EditorFixture::kPath);
  editor.app = &desktop.addApplication(EditorFixture::kPid, EditorFixture::kBundle);
  editor.app->localizedName = EditorFixture::kName;
  editor.app->bundlePath = EditorFixture::kPath;

  const Frame& frame = EditorFixture::kFrame;
  editor.window = addAppWindow(desktop, *editor.app, EditorFixture::kWindow, frame, "Untitled")
                      ->actions({"AXRaise"});
  editor.text = sim::element("AXTextArea")
                    ->value("Hello")
                    ->identifier("editor.text")
                    ->description("Document text")
                    ->enabled(true)
                    ->frame({frame.x + 10, frame.y + 40, frame.width - 20, frame.height - 50});
  editor.save = sim::element("AXButton")
                    ->title("Save")
                    ->help("Save the document")
                    ->enabled(true)
                    ->actions({"AXPress"})
                    ->frame({frame.x + frame.width - 90, frame.y + 8, 80, 24});
  editor.password = sim::element("AXTextField")
                        ->title("Password")
                        ->subrole("AXSecureTextField")
                        ->value("secret")
                        ->frame({frame.x + 10, frame.y + 8, 200, 24});
  editor.window->children({editor.text, editor.save, editor.password});

  editor.fileMenu = sim::element("AXMenuBarItem")->title("File")->actions({"AXPress"});
  editor.menuBar = sim::element("AXMenuBar")->child(editor.fileMenu);
  editor.app->element->title(EditorFixture::kName)
      ->focusedWindow(editor.window)
      ->focusedUIElement(editor.text)
      ->menuBar(editor.menuBar);
  desktop.frontmostPid = EditorFixture::kPid;
  return editor;
}

OtherAppFixture addOtherApp(sim::SimDesktop& desktop) {
  OtherAppFixture other;
  other.app = &desktop.addApplication(OtherAppFixture::kPid, OtherAppFixture::kBundle);
  other.window =
      addAppWindow(desktop, *other.app, OtherAppFixture::kWindow, OtherAppFixture::kFrame, "Other");
  other.app->element->focusedWindow(other.window);
  return other;
}

}  // namespace qor::testing
