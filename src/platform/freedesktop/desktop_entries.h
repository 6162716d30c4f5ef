#pragma once
// Desktop entries (the .desktop files of the XDG data directories): the installed applications
// of a Linux desktop, with the keys the backend uses for identity and launching.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qor::platform {

struct DesktopEntry {
  std::string id;    // desktop file id: the path below applications/ with "/" as "-", no suffix
  std::string path;  // absolute path of the file
  std::string name;
  std::string exec;  // Exec with the string escapes undone; quoting and field codes remain
  std::string tryExec;
  std::string workingDirectory;  // Path
  std::string startupWMClass;
  std::string icon;
  bool noDisplay = false;
  bool hidden = false;
  bool application = false;  // Type=Application

  // Base name of the program Exec runs ("env" and its assignments skipped); "" when none.
  std::string program() const;
};

// Reads the [Desktop Entry] group of a file's text; nothing when the group is missing.
std::optional<DesktopEntry> parseDesktopEntry(const std::string& text);

// The command line of an entry: Exec split into arguments, quoting undone, field codes
// expanded with `files` (%f and %u take the first, %F and %U all of them). Nothing when Exec is
// empty or malformed.
std::optional<std::vector<std::string>> commandLine(const DesktopEntry& entry,
                                                    const std::vector<std::string>& files);

// The entries of the data directories ($XDG_DATA_HOME, then $XDG_DATA_DIRS), where the first
// directory that has an id wins. Reread when a directory changes.
class DesktopEntries {
 public:
  DesktopEntries();
  explicit DesktopEntries(std::vector<std::filesystem::path> applicationDirectories);

  // Entries of type Application that are not Hidden, in id order.
  const std::vector<DesktopEntry>& all();
  const DesktopEntry* byID(const std::string& id);
  const DesktopEntry* byPath(const std::string& path);

 private:
  void refreshIfChanged();
  void load();

  std::vector<std::filesystem::path> directories_;
  std::map<std::string, std::filesystem::file_time_type> stamps_;
  std::vector<DesktopEntry> entries_;
  bool loaded_ = false;
};

}  // namespace qor::platform
