#include <algorithm>
#include <filesystem>
#include <map>

#include "bridge/native_runtime.h"
#include "core/base64.h"
#include "core/collation.h"
#include "core/native_parameters.h"

namespace qor {
namespace {

constexpr int kIconSize = 64;

Json entry(const std::string& bundleID, const std::string& name, const std::string& path) {
  return Json{{"bundleId", bundleID},
              {"name", name},
              {"path", path},
              {"running", false},
              {"active", false}};
}

// "bundleIds" as a list of strings; any other shape counts as no list at all.
std::vector<std::string> requestedBundleIDs(const Json& params) {
  const Json* given = NativeParameters::find(params, "bundleIds");
  if (given == nullptr || !given->is_array()) {
    return {};
  }
  std::vector<std::string> ids;
  for (const Json& each : *given) {
    if (!each.is_string()) {
      return {};
    }
    ids.push_back(each.get<std::string>());
  }
  return ids;
}

// The last path component without its extension; a trailing slash does not count as one.
std::string bundleNameOf(std::string location) {
  while (location.size() > 1 && location.back() == '/') {
    location.pop_back();
  }
  return std::filesystem::path(location).stem().string();
}

const std::string& nameOf(const Json& entry) {
  static const std::string kNone;
  const Json& name = entry["name"];
  return name.is_string() ? name.get_ref<const std::string&>() : kNone;
}

}  // namespace

// One entry per bundle identifier: installed applications, replaced by regular running ones,
// then identifiers the controller asked for; sorted by name as a person reads it.
Json NativeRuntime::listApplications(const Json& params) {
  std::map<std::string, Json> entries;
  for (const InstalledApplication& installed : desktop_.installedApplications()) {
    entries[installed.bundleID] = entry(installed.bundleID, installed.name, installed.path);
  }
  for (const desktop::RunningApplication& running : desktop_.runningApplications()) {
    if (running.activationPolicy != desktop::ActivationPolicy::regular || !running.bundleID ||
        running.bundleID->empty()) {
      continue;
    }
    Json& listed = entries[*running.bundleID] = entry(
        *running.bundleID, running.localizedName.value_or(""), running.bundlePath.value_or(""));
    listed["running"] = true;
    listed["active"] = running.active;
    listed["pid"] = running.pid;
  }
  for (const std::string& bundleID : requestedBundleIDs(params)) {
    if (entries.contains(bundleID)) {
      continue;
    }
    if (auto location = desktop_.applicationLocation(bundleID)) {
      entries[bundleID] = entry(bundleID, bundleNameOf(*location), *location);
    }
  }
  if (NativeParameters::boolean(params, "includeIcons") == true) {
    for (auto& [bundleID, listed] : entries) {
      const std::string& path = listed["path"].get_ref<const std::string&>();
      if (path.empty()) {
        continue;
      }
      if (auto png = desktop_.iconPNG(path, kIconSize)) {
        listed["icon"] = "data:image/png;base64," + base64(*png);
      }
    }
  }
  Json applications = Json::array();
  for (auto& [bundleID, listed] : entries) {
    applications.push_back(std::move(listed));
  }
  std::stable_sort(applications.begin(), applications.end(), [](const Json& a, const Json& b) {
    return localizedStandardCompare(nameOf(a), nameOf(b)) < 0;
  });
  return Json{{"applications", std::move(applications)}};
}

}  // namespace qor
