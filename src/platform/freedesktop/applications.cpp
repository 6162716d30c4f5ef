#include "platform/freedesktop/applications.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace qor::platform {
namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

template <class Field>
std::optional<std::string> firstWindowValue(const ProcessEvidence& process, Field field) {
  for (const ProcessWindow* window : process.windows) {
    if (const std::optional<std::string>& value = window->*field; value && !value->empty()) {
      return value;
    }
  }
  return std::nullopt;
}

const DesktopEntry* findEntry(const std::vector<DesktopEntry>& entries,
                              const std::function<bool(const DesktopEntry&)>& matches) {
  auto found = std::find_if(entries.begin(), entries.end(), matches);
  return found == entries.end() ? nullptr : &*found;
}

}  // namespace

Identity identify(const ProcessEvidence& process, const std::vector<DesktopEntry>& entries) {
  std::optional<std::string> appID = firstWindowValue(process, &ProcessWindow::applicationID);
  std::optional<std::string> instance = firstWindowValue(process, &ProcessWindow::classInstance);
  std::optional<std::string> className = firstWindowValue(process, &ProcessWindow::className);
  auto found = [](const DesktopEntry* entry) { return Identity{entry->id, entry}; };

  if (appID) {
    if (const DesktopEntry* entry =
            findEntry(entries, [&](const DesktopEntry& e) { return e.id == *appID; })) {
      return found(entry);
    }
  }
  if (instance || className) {
    if (const DesktopEntry* entry = findEntry(entries, [&](const DesktopEntry& e) {
          return !e.startupWMClass.empty() &&
                 (e.startupWMClass == className || e.startupWMClass == instance);
        })) {
      return found(entry);
    }
    if (const DesktopEntry* entry = findEntry(entries, [&](const DesktopEntry& e) {
          std::string id = lower(e.id);
          return (instance && id == lower(*instance)) || (className && id == lower(*className));
        })) {
      return found(entry);
    }
  }
  if (appID) {
    return Identity{*appID, nullptr};
  }
  const std::string& program = process.facts.executable;
  if (!program.empty()) {
    if (const DesktopEntry* entry =
            findEntry(entries, [&](const DesktopEntry& e) { return e.program() == program; })) {
      return found(entry);
    }
  }
  if (className || instance) {
    return Identity{lower(className ? *className : *instance), nullptr};
  }
  return Identity{lower(program), nullptr};
}

desktop::RunningApplication describeApplication(const ProcessEvidence& process,
                                                const Identity& identity, bool active) {
  desktop::RunningApplication app;
  app.pid = process.facts.pid;
  if (!identity.bundleID.empty()) {
    app.bundleID = identity.bundleID;
  }
  app.launchDate = process.facts.started;
  app.active = active;
  app.terminated = process.facts.zombie;
  if (identity.entry) {
    app.bundlePath = identity.entry->path;
    if (!identity.entry->name.empty()) {
      app.localizedName = identity.entry->name;
    }
  }
  std::optional<std::string> className = firstWindowValue(process, &ProcessWindow::className);
  if (!app.localizedName) {
    app.localizedName = process.atspiName && !process.atspiName->empty() ? process.atspiName
                        : className                                      ? className
                                    : std::optional<std::string>(process.facts.executable);
  }
  bool applicationWindow = std::any_of(process.windows.begin(), process.windows.end(),
                                       [](const ProcessWindow* w) { return w->applicationLayer; });
  bool visibleEntry = identity.entry && !identity.entry->noDisplay;
  if (applicationWindow || visibleEntry) {
    app.activationPolicy = desktop::ActivationPolicy::regular;
  } else if (!process.windows.empty()) {
    app.activationPolicy = desktop::ActivationPolicy::accessory;
  } else {
    app.activationPolicy = desktop::ActivationPolicy::prohibited;
  }
  return app;
}

std::vector<desktop::RunningApplication> assembleApplications(
    const ApplicationSources& sources, const std::vector<DesktopEntry>& entries,
    const std::function<std::optional<ProcessFacts>(desktop::Pid)>& readFacts, desktop::Pid self) {
  std::map<desktop::Pid, ProcessEvidence> processes;
  std::optional<desktop::Pid> activePid;
  auto evidence = [&](desktop::Pid pid) -> ProcessEvidence* {
    if (pid == self || pid <= 0) {
      return nullptr;
    }
    auto it = processes.find(pid);
    if (it == processes.end()) {
      std::optional<ProcessFacts> facts = readFacts(pid);
      if (!facts) {
        return nullptr;
      }
      it = processes.emplace(pid, ProcessEvidence{*facts, {}, std::nullopt}).first;
    }
    return &it->second;
  };
  for (const ProcessWindow& window : sources.windows) {
    if (!window.pid) {
      continue;
    }
    if (ProcessEvidence* process = evidence(*window.pid)) {
      process->windows.push_back(&window);
      if (sources.activeWindow == window.id) {
        activePid = *window.pid;
      }
    }
  }
  for (const auto& [pid, name] : sources.atspi) {
    if (ProcessEvidence* process = evidence(pid); process && !process->atspiName) {
      process->atspiName = name;
    }
  }
  std::vector<desktop::RunningApplication> apps;
  for (const auto& [pid, process] : processes) {
    apps.push_back(describeApplication(process, identify(process, entries), activePid == pid));
  }
  std::stable_sort(apps.begin(), apps.end(), [](const auto& a, const auto& b) {
    return std::make_pair(a.launchDate.value_or(0), a.pid) <
           std::make_pair(b.launchDate.value_or(0), b.pid);
  });
  return apps;
}

}  // namespace qor::platform
