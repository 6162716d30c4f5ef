#pragma once
// A desktop ready for action batches: an editor in front with one observed window holding a
// button, a text field (focused) and a password field, and a second application behind it. The
// observation is stored the way "app.observe" leaves it, so batches can run at once.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/support/harness.h"
#include "platform/sim/sim_desktop.h"

namespace qor::testing {

class ActTest : public ::testing::Test {
 protected:
  static constexpr desktop::Pid kPid = 100;
  static constexpr desktop::Pid kOtherPid = 200;
  static constexpr std::int64_t kWindow = 10;
  static constexpr std::int64_t kSecondWindow = 11;  // the editor's, behind kWindow
  static constexpr std::int64_t kOtherWindow = 20;
  static constexpr Frame kFrame{100, 100, 800, 600};
  static constexpr Frame kSecondFrame{300, 300, 400, 300};
  static constexpr const char* kBundle = "com.example.editor";
  static constexpr const char* kObservation = "5E1F2F6A-0000-4000-8000-000000000001";

  ActTest() {
    sim::SimApplication& editor = h.desktop.addApplication(kPid, kBundle);
    window = sim::element("AXWindow")->title("Untitled")->frame(kFrame);
    secondWindow = sim::element("AXWindow")->title("Other document")->frame(kSecondFrame);
    save = sim::element("AXButton")->title("Save")->actions({"AXPress"});
    field = sim::element("AXTextField")->title("Name")->value("old");
    password = sim::element("AXTextField")->subrole("AXSecureTextField")->title("Password");
    window->children({save, field, password});
    editor.element->windows({window, secondWindow})->focusedWindow(window)->focusedUIElement(field);
    for (const sim::SimElement::Ptr& element : {window, secondWindow, save, field, password}) {
      element->setOwner(kPid);
    }
    h.desktop.addWindow(kWindow, kPid, kFrame, "Untitled").element = window;
    h.desktop.addWindow(kSecondWindow, kPid, kSecondFrame, "Other document").element = secondWindow;
    h.desktop.addApplication(kOtherPid, "com.example.other");
    h.desktop.addWindow(kOtherWindow, kOtherPid, Frame{0, 0, 1000, 800}, "Elsewhere");
    h.desktop.frontmostPid = kPid;
    storeObservation();
  }

  // Stores the observation kObservation of the editor's window, valid for 120 seconds.
  const Observation& storeObservation(std::optional<std::uint32_t> windowID = kWindow,
                                      std::optional<Frame> frame = kFrame,
                                      std::optional<Size> pixelSize = std::nullopt) {
    Observation observation;
    observation.id = kObservation;
    observation.bundleID = kBundle;
    observation.pid = kPid;
    observation.launchDate = h.desktop.application(kPid).launchDate;
    observation.windowID = windowID;
    observation.frame = frame;
    observation.pixelSize = pixelSize;
    observation.expires = h.clock.wallNow() + std::chrono::seconds(120);
    observation.elements = {{window, "AXWindow", "Untitled"},  // "e1"
                            {save, "AXButton", "Save"},
                            {field, "AXTextField", "Name"},
                            {password, "AXTextField", "Password"}};  // "e4"
    h.runtime.observations().add(std::move(observation));
    return h.runtime.observations().at(kObservation);
  }

  static Json actParams(Json actions, const Json& extra = Json::object()) {
    Json params{{"bundleId", kBundle}, {"observationId", kObservation}, {"actions", actions}};
    params.update(extra);
    return params;
  }

  // Sends "app.act"; the batch runs up to its first pause.
  void act(const Json& id, Json actions, const Json& extra = Json::object()) {
    h.request(id, "app.act", actParams(std::move(actions), extra));
  }

  // Runs every pause to its end and returns the one response for `id`.
  Json finish(const Json& id) {
    h.drain();
    return h.responseFor(id);
  }

  Json runBatch(Json actions, const Json& extra = Json::object()) {
    act(1, std::move(actions), extra);
    return finish(1);
  }

  bool observationStored() const { return h.runtime.observations().contains(kObservation); }

  const std::vector<sim::PostedEvent>& posted() const { return h.desktop.log.events; }

  template <class Event>
  std::vector<Event> postedOf() const {
    std::vector<Event> found;
    for (const sim::PostedEvent& entry : posted()) {
      if (const auto* event = std::get_if<Event>(&entry.event)) {
        found.push_back(*event);
      }
    }
    return found;
  }

  // Runs `effect` once the bridge has posted `count` events, at the next point where the batch
  // lets other work run (the monitor sees the bridge's own key downs, presses and scrolls).
  void afterPosted(std::size_t count, std::function<void()> effect) {
    h.desktop.echoPostedEventsToMonitor = true;
    // The desktop may copy its handlers, so the "done" mark lives outside the handler.
    auto done = std::make_shared<bool>(false);
    h.desktop.addGlobalMonitor(
        [this, count, effect = std::move(effect), done](const desktop::MonitoredEvent&) {
          if (!*done && posted().size() >= count) {
            *done = true;
            effect();
          }
        });
  }

  // The editor's other window comes to the front and takes the focus, as a click on it would.
  void bringSecondWindowToFront() {
    h.desktop.bringToFront(kSecondWindow);
    h.desktop.application(kPid).element->focusedWindow(secondWindow);
  }

  static Json dispatched(std::size_t index, const std::string& type) {
    return Json{{"index", index}, {"type", type}, {"status", "dispatched"}};
  }

  Harness h;
  sim::SimElement::Ptr window;
  sim::SimElement::Ptr secondWindow;
  sim::SimElement::Ptr save;
  sim::SimElement::Ptr field;
  sim::SimElement::Ptr password;
};

// The failure record of a response.
inline const Json& errorOf(const Json& response) {
  return response.at("error");
}

}  // namespace qor::testing
