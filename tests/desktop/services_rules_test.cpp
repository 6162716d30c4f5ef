// The pure rules behind element actions on Linux: which interface a value write goes through,
// which strings are numbers for it, and which Accessibility error a D-Bus refusal becomes.

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qor::platform
