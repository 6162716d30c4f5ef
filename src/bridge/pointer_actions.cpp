// "click" and "scroll": synthetic pointer events at a point of the observed window, posted to the
// target process only. The pointer is never moved: the position travels in the events.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>

#include "bridge/action_steps.h"
#include "core/native_failure.h"
#include "core/native_parameters.h"
#include "core/window_geometry.h"

namespace qor::actions {
namespace {

constexpr auto kPauseBetweenPresses = std::chrono::milliseconds(60);
constexpr double kMaxScrollPixels = 10'000;

std::string coordinateSpace(const Json& action) {
  const Json* space = NativeParameters::find(action, "coordinateSpace");
  return space != nullptr && space->is_string() ? space->get<std::string>() : "windowPoints";
}

struct ButtonEvents {
  desktop::MouseButton button;
  desktop::MouseEventType press;
  desktop::MouseEventType release;
};

// Exactly "right" is the right button; anything else, or nothing, the left one.
ButtonEvents buttonEvents(const Json& action) {
  const Json* button = NativeParameters::find(action, "button");
  if (button != nullptr && button->is_string() &&
      button->get_ref<const std::string&>() == "right") {
    return {desktop::MouseButton::right, desktop::MouseEventType::rightDown,
            desktop::MouseEventType::rightUp};
  }
  return {desktop::MouseButton::left, desktop::MouseEventType::leftDown,
          desktop::MouseEventType::leftUp};
}

void postMouse(const StepContext& context, desktop::MouseEventType type,
               desktop::MouseButton button, Point location, std::int64_t clickState) {
  desktop::MouseEvent event;
  event.type = type;
  event.button = button;
  event.location = location;
  event.clickState = clickState;
  postMarked(context, event, "Could not create mouse event");
}

// Truncated toward zero; the magnitude has been checked, so the value fits.
std::int32_t wholePixels(double delta) {
  return static_cast<std::int32_t>(std::trunc(delta));
}

}  // namespace

Point actionPoint(const Json& action, const Observation& observation) {
  if (!observation.frame) {
    throw invalidArgument("Coordinates require a selected window observation");
  }
  double x = NativeParameters::number(action, "x");
  double y = NativeParameters::number(action, "y");
  return WindowGeometry::point(x, y, coordinateSpace(action), *observation.frame,
                               observation.pixelSize);
}

runtime::Task<void> click(StepContext context) {
  context.runtime.requireForeground(context.app, context.observation);
  const Point point = actionPoint(context.action, context.observation);
  const ButtonEvents buttons = buttonEvents(context.action);
  const std::int64_t clickCount =
      NativeParameters::boundedInt(NativeParameters::find(context.action, "clickCount"), 1, 1, 2);
  for (std::int64_t press = 1; press <= clickCount; ++press) {
    throwIfUserInput(context, kUserInputDetected);
    throwIfCancelled(context);
    postMouse(context, buttons.press, buttons.button, point, press);
    postMouse(context, buttons.release, buttons.button, point, press);
    if (press < clickCount) {
      co_await runtime::sleepFor(kPauseBetweenPresses);
    }
  }
}

void scroll(const StepContext& context) {
  context.runtime.requireForeground(context.app, context.observation);
  const double deltaX = NativeParameters::number(context.action, "deltaX");
  const double deltaY = NativeParameters::number(context.action, "deltaY");
  if (std::fabs(deltaX) > kMaxScrollPixels || std::fabs(deltaY) > kMaxScrollPixels) {
    throw invalidArgument("Scroll magnitude exceeds 10,000 pixels");
  }
  const std::optional<Frame>& frame = context.observation.frame;
  if (!frame) {
    throw invalidArgument("Observe a window before scrolling");
  }
  desktop::ScrollEvent event;
  if (NativeParameters::find(context.action, "x") != nullptr) {
    event.location = actionPoint(context.action, context.observation);
  } else {
    event.location = Point{frame->x + frame->width / 2, frame->y + frame->height / 2};
  }
  event.deltaY = wholePixels(deltaY);
  event.deltaX = wholePixels(deltaX);
  postMarked(context, event, "Could not create scroll event");
}

}  // namespace qor::actions
