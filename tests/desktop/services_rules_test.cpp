// The pure rules behind element actions and application events on Linux: which interface a
// value write goes through, which strings are numbers for it, which Accessibility error a D-Bus
// refusal becomes, and what each application event asks of org.freedesktop.Application.

#include <gtest/gtest.h>

#include "core/apple_event_json.h"
#include "platform/x11/app_events.h"
#include "platform/x11/atspi_tree.h"
#include "platform/x11/ax_mapping.h"

namespace qor::platform {
namespace {

using ax::RoleContext;
using ax::ValueWrite;

TEST(ValueWrites, PreferTheNumberForNumericControlsAndTheTextElsewhere) {
  constexpr std::uint32_t kSlider = 51;
  constexpr std::uint32_t kSpinButton = 52;
  constexpr std::uint32_t kEntry = 79;
  EXPECT_EQ(ax::valueWrite(RoleContext{kSlider, 0, false, {}}, false, true), ValueWrite::number);
  EXPECT_EQ(ax::valueWrite(RoleContext{kSpinButton, 0, false, {}}, true, true), ValueWrite::number);
  EXPECT_EQ(ax::valueWrite(RoleContext{kEntry, 0, false, {}}, true, false), ValueWrite::text);
  EXPECT_EQ(ax::valueWrite(RoleContext{kEntry, 0, false, {}}, true, true), ValueWrite::text);
  EXPECT_EQ(ax::valueWrite(RoleContext{ax::kRoleLabel, 0, false, {}}, false, true),
            ValueWrite::number);
  EXPECT_EQ(ax::valueWrite(RoleContext{ax::kRoleCheckBox, 0, false, {}}, false, false),
            ValueWrite::none);
}

TEST(ValueWrites, AcceptOnlyWholeFiniteNumbers) {
  EXPECT_EQ(ax::numericValue("55"), 55.0);
  EXPECT_EQ(ax::numericValue("-2.5"), -2.5);
  EXPECT_EQ(ax::numericValue("1e3"), 1000.0);
  EXPECT_EQ(ax::numericValue(""), std::nullopt);
  EXPECT_EQ(ax::numericValue("loud"), std::nullopt);
  EXPECT_EQ(ax::numericValue("5 "), std::nullopt);
  EXPECT_EQ(ax::numericValue("5,5"), std::nullopt);
  EXPECT_EQ(ax::numericValue("inf"), std::nullopt);
  EXPECT_EQ(ax::numericValue("nan"), std::nullopt);
  EXPECT_EQ(ax::numericValue("1e999"), std::nullopt);
}

TEST(AxErrors, FollowTheDBusErrorName) {
  EXPECT_EQ(axErrorFor("org.freedesktop.DBus.Error.UnknownObject"),
            desktop::kAXErrorInvalidUIElement);
  for (const char* unsupported :
       {"UnknownMethod", "UnknownInterface", "UnknownProperty", "InvalidArgs", "NotSupported"}) {
    EXPECT_EQ(axErrorFor(std::string("org.freedesktop.DBus.Error.") + unsupported),
              desktop::kAXErrorAttributeUnsupported)
        << unsupported;
  }
  EXPECT_EQ(axErrorFor("org.freedesktop.DBus.Error.NoReply"), desktop::kAXErrorCannotComplete);
  EXPECT_EQ(axErrorFor("org.freedesktop.DBus.Error.ServiceUnknown"),
            desktop::kAXErrorCannotComplete);
  EXPECT_EQ(axErrorFor("org.gtk.GDBus.UnmappedGError.Quark._g_2dio_2derror_2dquark.Code1"),
            desktop::kAXErrorFailure);
}

AppleEvent coreEvent(const char (&id)[5], std::vector<AppleDescriptor> directObject = {}) {
  AppleEvent event;
  event.eventClass = fourCharLiteral("aevt");
  event.eventID = fourChar(id);
  for (AppleDescriptor& each : directObject) {
    event.parameters.emplace_back(ae::kDirectObject, std::move(each));
  }
  return event;
}

TEST(ApplicationEvents, MapTheCoreEventsAndAnswerTheRestAsNotHandled) {
  EXPECT_EQ(planEvent(coreEvent("oapp")).call, ApplicationCall::activate);
  EXPECT_EQ(planEvent(coreEvent("rapp")).call, ApplicationCall::activate);
  EXPECT_EQ(planEvent(coreEvent("quit")).call, ApplicationCall::quit);
  EXPECT_FALSE(planEvent(coreEvent("quit")).refusal);
  EXPECT_EQ(planEvent(coreEvent("pdoc")).refusal, kEventNotHandled);
  AppleEvent other = coreEvent("oapp");
  other.eventClass = fourCharLiteral("core");
  EXPECT_EQ(planEvent(other).refusal, kEventNotHandled);
  EXPECT_EQ(planEvent(other).call, ApplicationCall::none);
}

TEST(ApplicationEvents, OpenFileReferencesPathsAndURLsInOrder) {
  EventPlan plan = planEvent(coreEvent(
      "odoc", {listDescriptor({fileURLDescriptor("/tmp/a b.txt"), textDescriptor("/srv/c.txt"),
                               textDescriptor("https://example.invalid/d")})}));
  EXPECT_EQ(plan.call, ApplicationCall::open);
  EXPECT_EQ(plan.uris, (std::vector<std::string>{"file:///tmp/a%20b.txt", "file:///srv/c.txt",
                                                 "https://example.invalid/d"}));
  EXPECT_EQ(planEvent(coreEvent("odoc", {fileURLDescriptor("/one")})).uris,
            std::vector<std::string>{"file:///one"});

  EXPECT_EQ(planEvent(coreEvent("odoc")).refusal, kDescriptorNotFound);
  EXPECT_EQ(planEvent(coreEvent("odoc", {listDescriptor()})).refusal, kCoercionFailed);
  EXPECT_EQ(planEvent(coreEvent("odoc", {textDescriptor("relative.txt")})).refusal,
            kCoercionFailed);
  // One item that is not a document reference refuses the whole event.
  EventPlan mixed = planEvent(
      coreEvent("odoc", {listDescriptor({fileURLDescriptor("/a"), integerDescriptor(3)})}));
  EXPECT_EQ(mixed.refusal, kCoercionFailed);
  EXPECT_EQ(mixed.call, ApplicationCall::none);
}

TEST(ApplicationEvents, AddressTheApplicationAtItsIdAsPath) {
  EXPECT_EQ(applicationObjectPath("dev.qor.Fixture"), "/dev/qor/Fixture");
  EXPECT_EQ(applicationObjectPath("org.example.my-app"), "/org/example/my_app");
  EXPECT_EQ(applicationObjectPath("debian-xterm"), std::nullopt);
  EXPECT_EQ(applicationObjectPath(""), std::nullopt);
}

}  // namespace
}  // namespace qor::platform
