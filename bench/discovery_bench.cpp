// Installed-application discovery over a generated tree of 2,000 bundles in 200 folders.
//
//   discovery_bench [runs]        generate the tree in a temporary folder, time `runs` walks
//                                 (default 9, median reported) against two baselines measured in
//                                 the same run, count the read system calls of one walk, remove
//                                 the tree
//   discovery_bench --generate DIR   only write the tree into DIR (which must not exist)
//   discovery_bench --walk DIR       only walk DIR once and print what was found, for tracing:
//                                    strace -c -e trace=%file,read,getdents64 discovery_bench
//                                    --walk DIR
//
// Every bundle holds more than its Info.plist (an executable, resources, a localisation folder,
// a nested helper bundle), so a walk that entered bundles would show in the figures. Baselines:
// reading the 2,000 Info.plist files by their known paths without parsing them (the least any
// discovery must do), and a recursive listing of the whole tree (what entering bundles costs).

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "core/application_discovery.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFolders = 200;
constexpr int kBundlesPerFolder = 10;

std::string infoPlist(const std::string& bundleID, const std::string& name) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleDevelopmentRegion</key>
	<string>en</string>
	<key>CFBundleExecutable</key>
	<string>)" +
         name + R"(</string>
	<key>CFBundleIdentifier</key>
	<string>)" +
         bundleID + R"(</string>
	<key>CFBundleInfoDictionaryVersion</key>
	<string>6.0</string>
	<key>CFBundleName</key>
	<string>)" +
         name + R"(</string>
	<key>CFBundlePackageType</key>
	<string>APPL</string>
	<key>CFBundleShortVersionString</key>
	<string>1.0</string>
	<key>CFBundleVersion</key>
	<string>1</string>
	<key>LSMinimumSystemVersion</key>
	<string>15.0</string>
	<key>NSHighResolutionCapable</key>
	<true/>
</dict>
</plist>
)";
}

void write(const fs::path& file, const std::string& contents) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << contents;
}

fs::path folderPath(const fs::path& root, int folder) {
  char name[32];
  std::snprintf(name, sizeof name, "Folder %03d", folder);
  return root / name;
}

fs::path bundlePath(const fs::path& root, int folder, int bundle) {
  char name[32];
  std::snprintf(name, sizeof name, "App %03d-%02d.app", folder, bundle);
  return folderPath(root, folder) / name;
}

void generate(const fs::path& root) {
  for (int folder = 0; folder < kFolders; ++folder) {
    for (int bundle = 0; bundle < kBundlesPerFolder; ++bundle) {
      const fs::path app = bundlePath(root, folder, bundle);
      const std::string name = app.stem().string();
      const std::string id =
          "com.example.f" + std::to_string(folder) + ".b" + std::to_string(bundle);
      write(app / "Contents/Info.plist", infoPlist(id, name));
      write(app / "Contents/PkgInfo", "APPL????");
      write(app / "Contents/MacOS" / name, std::string(4096, '\x7f'));
      for (const char* resource : {"AppIcon.icns", "Assets.car", "MainMenu.nib", "Credits.rtf"}) {
        write(app / "Contents/Resources" / resource, std::string(2048, 'r'));
      }
      write(app / "Contents/Resources/en.lproj/Localizable.strings", "\"OK\" = \"OK\";\n");
      // A helper application inside the bundle: a walk that entered bundles would list it.
      write(app / "Contents/Helpers/Helper.app/Contents/Info.plist",
            infoPlist(id + ".helper", name + " Helper"));
    }
  }
}

// Read system calls and bytes of this process so far (Linux /proc/self/io).
struct IoCounters {
  std::uint64_t readCalls = 0;
  std::uint64_t readBytes = 0;
};

IoCounters ioCounters() {
  IoCounters counters;
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "syscr:") {
      counters.readCalls = value;
    } else if (key == "rchar:") {
      counters.readBytes = value;
    }
  }
  return counters;
}

double medianMilliseconds(int runs, const std::function<void()>& work) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    auto start = std::chrono::steady_clock::now();
    work();
    auto stop = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

std::size_t discover(const fs::path& root) {
  return qor::ApplicationDiscovery::installed({root}, 2).size();
}

std::size_t readEveryInfoPlist(const fs::path& root) {
  std::size_t bytes = 0;
  for (int folder = 0; folder < kFolders; ++folder) {
    for (int bundle = 0; bundle < kBundlesPerFolder; ++bundle) {
      std::ifstream file(bundlePath(root, folder, bundle) / "Contents/Info.plist",
                         std::ios::binary);
      bytes += std::string(std::istreambuf_iterator<char>(file), {}).size();
    }
  }
  return bytes;
}

std::size_t listEverything(const fs::path& root) {
  std::size_t entries = 0;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    ++entries;
  }
  return entries;
}

int benchmark(int runs) {
  std::string pattern = (fs::temp_directory_path() / "discovery-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path root = fs::path(pattern) / "Applications";
  generate(root);
  const std::size_t entries = listEverything(root);
  const std::size_t found = discover(root);  // also warms the cache for every measurement
  std::printf("tree: %d folders, %d bundles, %zu entries in all; discovery found %zu\n", kFolders,
              kFolders * kBundlesPerFolder, entries, found);

  const double walk = medianMilliseconds(runs, [&] { discover(root); });
  const double plists = medianMilliseconds(runs, [&] { readEveryInfoPlist(root); });
  const double listing = medianMilliseconds(runs, [&] { listEverything(root); });
  std::printf("%-48s %10s %8s\n", "", "median ms", "ratio");
  std::printf("%-48s %10.2f %8.2f\n", "discovery (installed, maxDepth 2)", walk, 1.0);
  std::printf("%-48s %10.2f %8.2f\n", "baseline: read 2,000 Info.plist by known path", plists,
              plists / walk);
  std::printf("%-48s %10.2f %8.2f\n", "baseline: recursive listing of the whole tree", listing,
              listing / walk);

  const IoCounters before = ioCounters();
  discover(root);
  const IoCounters after = ioCounters();
  const double bundles = kFolders * kBundlesPerFolder;
  std::printf(
      "one discovery: %llu read calls, %llu bytes read = %.2f calls and %.0f bytes per "
      "bundle (one Info.plist is %zu bytes)\n",
      static_cast<unsigned long long>(after.readCalls - before.readCalls),
      static_cast<unsigned long long>(after.readBytes - before.readBytes),
      double(after.readCalls - before.readCalls) / bundles,
      double(after.readBytes - before.readBytes) / bundles,
      static_cast<std::size_t>(fs::file_size(bundlePath(root, 0, 0) / "Contents/Info.plist")));
  std::printf("(the two /proc/self/io reads that take the counts are included)\n");
  fs::remove_all(pattern);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--generate") == 0) {
    if (fs::exists(argv[2])) {
      std::fprintf(stderr, "%s exists already\n", argv[2]);
      return 1;
    }
    generate(argv[2]);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--walk") == 0) {
    std::printf("found %zu applications\n", discover(argv[2]));
    return 0;
  }
  return benchmark(argc > 1 ? std::max(1, std::atoi(argv[1])) : 9);
}
