#include "bridge_world.h"

#include <chrono>
#include <limits>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/apple_descriptor.h"

namespace qor::fuzzing {
namespace {

using sim::element;
using sim::SimElement;

// A window record on screen and an Accessibility window of the same frame, linked so that moving
// the record moves the element too.
SimElement::Ptr addLinkedWindow(sim::SimDesktop& desktop, sim::SimApplication& app,
                                std::int64_t number, Frame frame, const std::string& title) {
  auto window = element("AXWindow")->title(title)->frame(frame)->actions({"AXRaise"});
  desktop::AXRead listed = app.element->read("AXWindows");
  auto* windows = std::get_if<std::vector<desktop::ElementRef>>(&listed.value);
  std::vector<desktop::ElementRef> all = windows ? *windows : std::vector<desktop::ElementRef>{};
  all.push_back(window);
  app.element->attribute("AXWindows", std::move(all));
  desktop.addWindow(number, app.pid, frame, title).element = window;
  return window;
}

// Nested groups deeper than any walk may go.
SimElement::Ptr deepChain(int levels, Frame frame) {
  auto leaf = element("AXStaticText")->value("bottom")->frame(frame);
  for (int level = 0; level < levels; ++level) {
    leaf = element("AXGroup")->frame(frame)->child(leaf);
  }
  return leaf;
}

// More rows than a small node limit allows.
SimElement::Ptr table(int rows, Frame frame) {
  auto list = element("AXTable")->title("Files")->frame(frame);
  for (int row = 0; row < rows; ++row) {
    list->child(element("AXRow")
                    ->title("Row " + std::to_string(row))
                    ->value(std::int64_t{row})
                    ->actions({"AXPress", "AXShowMenu"})
                    ->frame({frame.x, frame.y + row, frame.width, 1}));
  }
  return list;
}

void addEditor(sim::SimDesktop& desktop) {
  // A quit instance of the same application comes first: the target rule must skip it.
  sim::SimApplication& quit = desktop.addApplication(502, "com.example.editor");
  quit.terminated = true;

  desktop.install("com.example.editor", "Editor", "/Applications/Editor.app");
  sim::SimApplication& app = desktop.addApplication(kEditorPid, "com.example.editor");
  app.localizedName = "Editor";
  app.bundlePath = "/Applications/Editor.app";

  const Frame frame{100, 100, 160, 120};
  auto window = addLinkedWindow(desktop, app, kEditorWindow, frame, "Untitled");
  auto text = element("AXTextArea")
                  ->value("Hello")
                  ->identifier("editor.text")
                  ->description("Document text")
                  ->help("Type here")
                  ->enabled(true)
                  ->frame({110, 140, 140, 70});
  auto save = element("AXButton")
                  ->title("Save")
                  ->enabled(true)
                  ->actions({"AXPress"})
                  ->frame({170, 108, 80, 24});
  // Pressing it renames it: a second press through the same observation is refused.
  save->onPerform([weak = std::weak_ptr<SimElement>(save)](const std::string&) {
    if (auto button = weak.lock()) {
      button->title("Saved");
    }
  });
  auto password = element("AXTextField")
                      ->title("Password")
                      ->subrole("AXSecureTextField")
                      ->value("secret")
                      ->frame({110, 108, 50, 24});
  auto refusing = element("AXButton")
                      ->title("Refuses")
                      ->actions({"AXPress"})
                      ->actionResult("AXPress", desktop::kAXErrorCannotComplete)
                      ->setValueResult(desktop::kAXErrorAttributeUnsupported)
                      ->frame({110, 200, 20, 10});
  auto slider = element("AXSlider")
                    ->value(0.25)
                    ->attribute("AXTitle", std::int64_t{7})  // a title of the wrong kind
                    ->frame({130, 200, 20, 10});
  auto odd = element("AXUnknown")
                 ->value(std::numeric_limits<double>::quiet_NaN())
                 ->attributeError("AXDescription", desktop::kAXErrorCannotComplete)
                 ->actionNamesError(desktop::kAXErrorFailure)
                 ->title(std::string(4100, 'x') + "\xF0\x9F\x91\x8D\xCC\x81")
                 ->frame({150, 200, 20, 10});
  auto gone = element("AXButton")->title("Gone")->actions({"AXPress"})->invalidate();
  auto twin = element("AXButton")->title("Twin")->shareIdentityWith(save);
  auto longValue = element("AXTextField")->value(std::string(10'050, 'v'))->frame({110, 212, 9, 9});
  window->children({text, save, password, refusing, slider, odd, gone, twin, longValue,
                    table(60, {110, 150, 100, 60}), deepChain(35, {101, 101, 10, 10})});

  // A second window off screen, and one the Accessibility tree does not show (capture only).
  addLinkedWindow(desktop, app, 43, {300, 300, 40, 30}, "Hidden");
  desktop.window(43).onScreen = false;
  desktop.addWindow(44, kEditorPid, {400, 120, 24, 16}, "Canvas").pointPixelScale = 2.0;

  auto fileMenu = element("AXMenuBarItem")->title("File")->actions({"AXPress", "AXCancel"});
  app.element->title("Editor")->focusedWindow(window)->focusedUIElement(text)->menuBar(
      element("AXMenuBar")->child(fileMenu));
  desktop.frontmostPid = kEditorPid;
  desktop.icons["/Applications/Editor.app"] = {0x10, 0x20, 0x30, 0xFF};
  desktop.automation["com.example.editor"] = 0;
}

void addOther(sim::SimDesktop& desktop) {
  sim::SimApplication& app = desktop.addApplication(600, "com.example.other");
  app.activationDelay = std::chrono::milliseconds(100);
  auto window = addLinkedWindow(desktop, app, 60, {0, 0, 64, 48}, "Other");
  window->child(element("AXButton")->title("OK")->actions({"AXPress"})->frame({4, 4, 20, 10}));
  app.element->focusedWindow(window)->focusedUIElement(window);
  desktop.automationPromptAnswers["com.example.other"] = 0;
}

void addStubborn(sim::SimDesktop& desktop) {
  sim::SimApplication& app = desktop.addApplication(700, "com.example.stubborn");
  app.answersAccessibility = false;
  app.acceptsActivation = false;
  addLinkedWindow(desktop, app, 70, {500, 500, 16, 16}, "Stubborn");
  desktop.window(70).image = desktop::Image{8, 8, std::vector<std::uint8_t>(8 * 8 * 4, 0x7F)};
  desktop.addWindow(71, 700, {520, 500, 4, 4}, "Broken").image =
      desktop::Image{4, 4, std::vector<std::uint8_t>(10)};  // too few bytes for its size
  desktop.automation["com.example.stubborn"] = -1743;
}

void addOthers(sim::SimDesktop& desktop) {
  desktop.addApplication(800, "com.example.helper").activationPolicy =
      desktop::ActivationPolicy::accessory;

  sim::SimApplication nameless;
  nameless.pid = 900;
  nameless.localizedName = "Nameless";
  sim::SimApplication& added = desktop.addApplication(std::move(nameless));
  addLinkedWindow(desktop, added, 91, {10, 10, 20, 20}, "Nameless");

  desktop.install("com.example.viewer", "Viewer", "/Applications/Viewer.app");
  desktop.icons["/Applications/Viewer.app"] = {0xFF, 0x00, 0x00, 0x80};
  desktop.launchHooks["com.example.viewer"] = [&desktop](sim::SimApplication& app) {
    auto window = addLinkedWindow(desktop, app, 90, {50, 50, 32, 24}, "Viewer");
    window->child(element("AXImage")->description("Picture")->frame({52, 60, 10, 10}));
    app.element->focusedWindow(window);
  };
}

void scriptAppleEvents(sim::SimDesktop& desktop) {
  using ae::kDirectObject;
  using ae::kErrorNumber;
  using ae::kErrorString;
  AppleDescriptor nested = textDescriptor("deep");
  for (int level = 0; level < 15; ++level) {
    nested = listDescriptor({nested});
  }
  std::vector<AppleDescriptor> many;
  for (int i = 0; i < 300; ++i) {
    many.push_back(integerDescriptor(i - 150));
  }
  AppleDescriptor mixed = listDescriptor({
      textDescriptor("caf\xC3\xA9 \xFF"),
      integerDescriptor(-2147483647 - 1),
      booleanDescriptor(true),
      realDescriptor(2.5),
      typeCodeDescriptor(fourCharLiteral("obj ")),
      enumDescriptor(fourCharLiteral("yes ")),
      fileURLDescriptor("/tmp/a b.txt"),
      recordDescriptor({{fourCharLiteral("pnam"), textDescriptor("x")}}),
      AppleDescriptor{fourCharLiteral("long"), {1, 2}, {}, {}},  // malformed integer
      nested,
      listDescriptor(std::move(many)),
  });
  auto reply = [](std::vector<AppleDescriptorField> fields) {
    return desktop::Result<AppleDescriptor>(eventDescriptor(std::move(fields)));
  };
  auto& replies = desktop.appleEventReplies;
  replies[{fourCharLiteral("core"), fourCharLiteral("getd")}] = reply({{kDirectObject, mixed}});
  replies[{fourCharLiteral("aevt"), fourCharLiteral("oapp")}] = reply({});
  replies[{fourCharLiteral("core"), fourCharLiteral("setd")}] =
      reply({{kErrorNumber, integerDescriptor(-10000)}, {kErrorString, textDescriptor("Nope")}});
  replies[{fourCharLiteral("core"), fourCharLiteral("cnte")}] =
      reply({{kErrorNumber, integerDescriptor(0)}, {kDirectObject, integerDescriptor(3)}});
  replies[{fourCharLiteral("misc"), fourCharLiteral("actv")}] =
      desktop::PlatformError{"The Apple Event timed out"};
  replies[{fourCharLiteral("aevt"), fourCharLiteral("quit")}] =
      reply({{kErrorNumber, booleanDescriptor(true)}});  // an error number of the wrong kind
}

}  // namespace

void populate(sim::SimDesktop& desktop) {
  addEditor(desktop);
  addOther(desktop);
  addStubborn(desktop);
  addOthers(desktop);
  scriptAppleEvents(desktop);
}

}  // namespace qor::fuzzing
