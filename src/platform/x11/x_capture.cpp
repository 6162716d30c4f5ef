// Screen capture: the pixels of a rectangle of the root window, read with GetImage in bands and
// converted from the screen's own pixel format to RGBA.
#include <algorithm>
#include <bit>
#include <cmath>

#include "platform/x11/x_server.h"
#include "platform/x11/xcb_reply.h"

namespace qor::platform {
namespace {

// How the root window's pixels are laid out in a Z-pixmap image.
struct PixelFormat {
  std::uint32_t redMask = 0;
  std::uint32_t greenMask = 0;
  std::uint32_t blueMask = 0;
  int bytesPerPixel = 0;
  int scanlinePad = 32;  // in bits
  bool lsbFirst = true;

  // Only true colour of 24 or 32 bits per pixel is read.
  bool supported() const {
    return (bytesPerPixel == 4 || bytesPerPixel == 3) && redMask && greenMask && blueMask;
  }
  std::size_t stride(long columns) const {
    const long bits = columns * bytesPerPixel * 8;
    return static_cast<std::size_t>((bits + scanlinePad - 1) / scanlinePad * scanlinePad / 8);
  }
};

PixelFormat rootPixelFormat(xcb_connection_t* connection, xcb_screen_t* screen) {
  PixelFormat format;
  for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem;
       xcb_depth_next(&depths)) {
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem;
         xcb_visualtype_next(&visuals)) {
      if (visuals.data->visual_id == screen->root_visual) {
        format.redMask = visuals.data->red_mask;
        format.greenMask = visuals.data->green_mask;
        format.blueMask = visuals.data->blue_mask;
      }
    }
  }
  const xcb_setup_t* setup = xcb_get_setup(connection);
  for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem;
       xcb_format_next(&formats)) {
    if (formats.data->depth == screen->root_depth) {
      format.bytesPerPixel = formats.data->bits_per_pixel / 8;
      format.scanlinePad = formats.data->scanline_pad;
    }
  }
  format.lsbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
  return format;
}

int maskShift(std::uint32_t mask) {
  return mask ? std::countr_zero(mask) : 0;
}

std::uint8_t channel(std::uint32_t pixel, std::uint32_t mask) {
  if (!mask) {
    return 0;
  }
  std::uint32_t value = (pixel & mask) >> maskShift(mask);
  std::uint32_t max = mask >> maskShift(mask);
  return static_cast<std::uint8_t>(max == 255 ? value : value * 255 / max);
}

// One pixel of the image data in the screen's byte order to RGBA.
void convertPixel(const std::uint8_t* source, const PixelFormat& format, std::uint8_t* rgba) {
  std::uint32_t pixel = 0;
  for (int b = 0; b < format.bytesPerPixel; ++b) {
    int shift = format.lsbFirst ? 8 * b : 8 * (format.bytesPerPixel - 1 - b);
    pixel |= static_cast<std::uint32_t>(source[b]) << shift;
  }
  rgba[0] = channel(pixel, format.redMask);
  rgba[1] = channel(pixel, format.greenMask);
  rgba[2] = channel(pixel, format.blueMask);
  rgba[3] = 255;
}

// An image of the given size, opaque black: what lies outside the screen stays so.
desktop::Image blackImage(std::uint32_t width, std::uint32_t height) {
  desktop::Image image;
  image.width = width;
  image.height = height;
  image.rgba.assign(static_cast<std::size_t>(width) * height * 4, 0);
  for (std::size_t i = 3; i < image.rgba.size(); i += 4) {
    image.rgba[i] = 255;
  }
  return image;
}

}  // namespace

desktop::Result<desktop::Image> XServer::captureArea(const Frame& area, std::uint32_t width,
                                                     std::uint32_t height) {
  if (!alive()) {
    return desktop::PlatformError{"The X server connection was lost"};
  }
  desktop::Image image = blackImage(width, height);
  // The part of the requested rectangle that lies on the screen.
  auto left = static_cast<long>(std::lround(area.x));
  auto top = static_cast<long>(std::lround(area.y));
  long x0 = std::max(0L, left);
  long y0 = std::max(0L, top);
  long x1 = std::min<long>(screen_->width_in_pixels, left + static_cast<long>(width));
  long y1 = std::min<long>(screen_->height_in_pixels, top + static_cast<long>(height));
  if (x1 <= x0 || y1 <= y0) {
    return image;
  }
  const PixelFormat format = rootPixelFormat(connection_, screen_);
  if (!format.supported()) {
    return desktop::PlatformError{"The screen's pixel format is not supported"};
  }

  // Bands of rows keep each reply to a few megabytes.
  const long columns = x1 - x0;
  const long bandRows = std::max(1L, (4L << 20) / (columns * 4));
  const std::size_t stride = format.stride(columns);
  for (long bandTop = y0; bandTop < y1; bandTop += bandRows) {
    long rows = std::min(bandRows, y1 - bandTop);
    ReplyPtr<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        connection_,
        xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root,
                      static_cast<std::int16_t>(x0), static_cast<std::int16_t>(bandTop),
                      static_cast<std::uint16_t>(columns), static_cast<std::uint16_t>(rows),
                      0xFFFFFFFF),
        nullptr));
    if (!reply ||
        static_cast<std::size_t>(xcb_get_image_data_length(reply.get())) < stride * rows) {
      return desktop::PlatformError{"The window image could not be read"};
    }
    const std::uint8_t* data = xcb_get_image_data(reply.get());
    for (long row = 0; row < rows; ++row) {
      const std::uint8_t* source = data + stride * static_cast<std::size_t>(row);
      std::size_t targetRow = static_cast<std::size_t>(bandTop + row - top);
      std::size_t targetColumn = static_cast<std::size_t>(x0 - left);
      std::uint8_t* out = &image.rgba[(targetRow * width + targetColumn) * 4];
      for (long column = 0; column < columns; ++column) {
        convertPixel(source + column * format.bytesPerPixel, format, out + column * 4);
      }
    }
  }
  return image;
}

}  // namespace qor::platform
