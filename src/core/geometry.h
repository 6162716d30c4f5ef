#pragma once
// Frames, sizes and points in global display points (top-left origin, y grows downwards).

namespace qor {

struct Point {
  double x = 0;
  double y = 0;
};

struct Size {
  double width = 0;
  double height = 0;
};

struct Frame {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

}  // namespace qor
