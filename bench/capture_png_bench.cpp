// Writing a 2,560 x 1,600 RGBA window capture to PNG: the PNG library's default compression
// against faster settings, with the time and the file size of each, measured in the same run.
//
//   capture_png_bench [runs]     (default 7 runs per setting; medians are reported)
//
// Three images stand for what a capture can hold: an application window (flat areas, text-like
// strokes, a gradient bar), a photo-like image (smooth colours with noise: the hard case for
// compression) and a single solid colour (what the simulated desktop draws).

#include <spng.h>
#include <stdlib.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bridge/png_file.h"

namespace {

using qor::PngSettings;
using qor::desktop::Image;
namespace fs = std::filesystem;

constexpr std::uint32_t kWidth = 2560;
constexpr std::uint32_t kHeight = 1600;

// A small deterministic generator, so every run encodes the same pixels.
struct Random {
  std::uint32_t state = 0x12345678;
  std::uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

Image blank(std::uint8_t grey) {
  Image image{kWidth, kHeight, {}};
  image.rgba.resize(std::size_t{kWidth} * kHeight * 4);
  for (std::size_t i = 0; i < image.rgba.size(); i += 4) {
    image.rgba[i] = image.rgba[i + 1] = image.rgba[i + 2] = grey;
    image.rgba[i + 3] = 0xFF;
  }
  return image;
}

void paint(Image& image, std::uint32_t x, std::uint32_t y, std::uint8_t r, std::uint8_t g,
           std::uint8_t b) {
  std::size_t at = (std::size_t{y} * image.width + x) * 4;
  image.rgba[at] = r;
  image.rgba[at + 1] = g;
  image.rgba[at + 2] = b;
}

// A window: title bar with a gradient, a sidebar, lines of "text" made of short dark strokes
// with anti-aliased edges, and a few coloured buttons.
Image windowImage() {
  Image image = blank(0xF6);
  Random random;
  for (std::uint32_t y = 0; y < 56; ++y) {
    auto shade = static_cast<std::uint8_t>(0xE8 - y / 2);
    for (std::uint32_t x = 0; x < kWidth; ++x) {
      paint(image, x, y, shade, shade, static_cast<std::uint8_t>(shade + 4));
    }
  }
  for (std::uint32_t y = 56; y < kHeight; ++y) {
    for (std::uint32_t x = 0; x < 440; ++x) {
      paint(image, x, y, 0xE4, 0xE6, 0xEA);
    }
  }
  for (std::uint32_t line = 0; line < 60; ++line) {
    std::uint32_t top = 90 + line * 24;
    for (std::uint32_t left = 480; left < 2400;) {
      std::uint32_t word = 20 + random.next() % 90;
      for (std::uint32_t x = left; x < std::min(left + word, kWidth); ++x) {
        for (std::uint32_t y = top; y < top + 14; ++y) {
          std::uint32_t ink = random.next() % 4;  // glyph strokes: full, edge, or paper
          if (ink < 2) {
            auto level = static_cast<std::uint8_t>(ink == 0 ? 0x20 : 0x90);
            paint(image, x, y, level, level, level);
          }
        }
      }
      left += word + 10;
    }
  }
  for (std::uint32_t button = 0; button < 6; ++button) {
    for (std::uint32_t y = 1500; y < 1540; ++y) {
      for (std::uint32_t x = 1600 + button * 150; x < 1720 + button * 150; ++x) {
        paint(image, x, y, 0x1E, static_cast<std::uint8_t>(0x60 + button * 20), 0xE0);
      }
    }
  }
  return image;
}

// Smooth colour fields with a little noise on every pixel, like a photograph or a video frame.
Image photoImage() {
  Image image = blank(0);
  Random random;
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    for (std::uint32_t x = 0; x < kWidth; ++x) {
      auto noise = static_cast<int>(random.next() % 9) - 4;
      auto channel = [&](std::uint32_t base) {
        return static_cast<std::uint8_t>(std::clamp(static_cast<int>(base % 256) + noise, 0, 255));
      };
      paint(image, x, y, channel(x / 10), channel(y / 7), channel((x + y) / 16));
    }
  }
  return image;
}

struct Setting {
  const char* name;
  PngSettings settings;
};

struct Figures {
  double medianMilliseconds = 0;     // wall-clock time
  double medianCpuMilliseconds = 0;  // this thread's processor time: steadier on a busy machine
  std::uintmax_t bytes = 0;
};

double threadCpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

Figures measure(const Image& image, const PngSettings& settings, const fs::path& directory,
                int runs) {
  std::vector<double> times;
  std::vector<double> cpuTimes;
  Figures figures;
  for (int run = 0; run < runs; ++run) {
    fs::path file = directory / ("capture-" + std::to_string(run) + ".png");
    double cpuStart = threadCpuMilliseconds();
    auto start = std::chrono::steady_clock::now();
    qor::PngWriteResult result = qor::writePng(file, image, settings);
    auto stop = std::chrono::steady_clock::now();
    cpuTimes.push_back(threadCpuMilliseconds() - cpuStart);
    if (result != qor::PngWriteResult::written) {
      std::fprintf(stderr, "writing %s failed\n", file.c_str());
      std::exit(1);
    }
    times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    figures.bytes = fs::file_size(file);
    fs::remove(file);
  }
  figures.medianMilliseconds = median(times);
  figures.medianCpuMilliseconds = median(cpuTimes);
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  std::string pattern = (fs::temp_directory_path() / "capture-png-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path directory = pattern;

  const std::vector<Setting> settings = {
      {"library default", PngSettings{}},
      {"zlib 1, adaptive filters",
       PngSettings{1, PngSettings::kLibraryDefault, PngSettings::kLibraryDefault}},
      {"zlib 1, Up filter", PngSettings{1, PngSettings::kLibraryDefault, SPNG_FILTER_CHOICE_UP}},
      {"zlib 1, Sub filter", PngSettings{1, PngSettings::kLibraryDefault, SPNG_FILTER_CHOICE_SUB}},
      {"zlib 1, no filter", PngSettings{1, PngSettings::kLibraryDefault, SPNG_FILTER_CHOICE_NONE}},
      {"zlib 1, None or Up", PngSettings{1, PngSettings::kLibraryDefault,
                                         SPNG_FILTER_CHOICE_NONE | SPNG_FILTER_CHOICE_UP}},
      {"zlib 3, None or Up", PngSettings{3, PngSettings::kLibraryDefault,
                                         SPNG_FILTER_CHOICE_NONE | SPNG_FILTER_CHOICE_UP}},
      {"zlib 1, RLE, Up filter", PngSettings{1, Z_RLE, SPNG_FILTER_CHOICE_UP}},
      {"zlib 0 (stored)", PngSettings{0, PngSettings::kLibraryDefault, SPNG_FILTER_CHOICE_NONE}},
      {"capture setting", qor::captureSettings()},
  };
  const std::vector<std::pair<const char*, Image>> images = {
      {"window", windowImage()}, {"photo", photoImage()}, {"solid", blank(0xC8)}};

  std::printf("PNG encoding of a %u x %u RGBA image (%.1f MiB raw), %d runs per setting\n", kWidth,
              kHeight, double(kWidth) * kHeight * 4 / (1024 * 1024), runs);
  std::printf("%-8s %-26s %10s %10s %10s %8s %8s\n", "image", "setting", "wall ms", "cpu ms", "KiB",
              "cpu", "size");
  for (const auto& [imageName, image] : images) {
    Figures baseline;
    for (const Setting& setting : settings) {
      Figures figures = measure(image, setting.settings, directory, runs);
      if (&setting == &settings.front()) {
        baseline = figures;
      }
      std::printf("%-8s %-26s %10.1f %10.1f %10.1f %7.2fx %7.2fx\n", imageName, setting.name,
                  figures.medianMilliseconds, figures.medianCpuMilliseconds,
                  double(figures.bytes) / 1024,
                  figures.medianCpuMilliseconds / baseline.medianCpuMilliseconds,
                  double(figures.bytes) / double(baseline.bytes));
    }
  }
  std::printf(
      "(medians; cpu time and size are relative to the library default for the same "
      "image)\n");
  fs::remove_all(directory);
  return 0;
}
