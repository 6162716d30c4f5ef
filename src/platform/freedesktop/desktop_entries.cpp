#include "platform/freedesktop/desktop_entries.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "core/key_file.h"

namespace qor::platform {
namespace {

namespace fs = std::filesystem;

// Splits Exec into arguments. Each argument remembers whether it was quoted, since field codes
// only count outside quotes.
struct Token {
  std::string text;
  bool quoted = false;
};

std::optional<std::vector<Token>> tokenize(const std::string& exec) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < exec.size()) {
    if (exec[i] == ' ' || exec[i] == '\t') {
      ++i;
      continue;
    }
    Token token;
    while (i < exec.size() && exec[i] != ' ' && exec[i] != '\t') {
      if (exec[i] != '"') {
        token.text.push_back(exec[i++]);
        continue;
      }
      token.quoted = true;
      ++i;
      bool closed = false;
      while (i < exec.size()) {
        char c = exec[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\' && i < exec.size() &&
            std::string("\"`$\\").find(exec[i]) != std::string::npos) {
          c = exec[i++];
        }
        token.text.push_back(c);
      }
      if (!closed) {
        return std::nullopt;
      }
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

std::string baseName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isTrue(const std::string& value) {
  return value == "true";
}

}  // namespace

std::optional<DesktopEntry> parseDesktopEntry(const std::string& text) {
  const key_file::Groups groups = key_file::parse(text);
  const auto group = groups.find("Desktop Entry");
  if (group == groups.end()) {
    return std::nullopt;
  }
  const key_file::Group& keys = group->second;
  auto value = [&](const char* key) {
    auto it = keys.find(key);
    return it == keys.end() ? std::string() : key_file::unescapeValue(it->second);
  };
  DesktopEntry entry;
  entry.name = value("Name");
  entry.exec = value("Exec");
  entry.tryExec = value("TryExec");
  entry.workingDirectory = value("Path");
  entry.startupWMClass = value("StartupWMClass");
  entry.icon = value("Icon");
  entry.noDisplay = isTrue(value("NoDisplay"));
  entry.hidden = isTrue(value("Hidden"));
  entry.application = value("Type") == "Application";
  return entry;
}

std::optional<std::vector<std::string>> commandLine(const DesktopEntry& entry,
                                                    const std::vector<std::string>& files) {
  std::optional<std::vector<Token>> tokens = tokenize(entry.exec);
  if (!tokens || tokens->empty()) {
    return std::nullopt;
  }
  std::vector<std::string> arguments;
  for (const Token& token : *tokens) {
    if (!token.quoted && token.text.size() == 2 && token.text[0] == '%') {
      switch (token.text[1]) {
        case 'F':
        case 'U':
          arguments.insert(arguments.end(), files.begin(), files.end());
          continue;
        case 'f':
        case 'u':
          if (!files.empty()) {
            arguments.push_back(files.front());
          }
          continue;
        case 'i':
          if (!entry.icon.empty()) {
            arguments.push_back("--icon");
            arguments.push_back(entry.icon);
          }
          continue;
        default:
          break;
      }
    }
    std::string expanded;
    for (std::size_t i = 0; i < token.text.size(); ++i) {
      if (token.text[i] != '%' || i + 1 == token.text.size()) {
        expanded.push_back(token.text[i]);
        continue;
      }
      char code = token.text[++i];
      if (code == '%') {
        expanded.push_back('%');
      } else if (!token.quoted && code == 'c') {
        expanded += entry.name;
      } else if (!token.quoted && code == 'k') {
        expanded += entry.path;
      } else if (!token.quoted && (code == 'f' || code == 'u') && !files.empty()) {
        expanded += files.front();
      } else if (token.quoted) {
        expanded.push_back('%');
        expanded.push_back(code);
      }
      // Other codes outside quotes (deprecated ones included) expand to nothing.
    }
    arguments.push_back(std::move(expanded));
  }
  if (arguments.empty() || arguments.front().empty()) {
    return std::nullopt;
  }
  return arguments;
}

std::string DesktopEntry::program() const {
  std::optional<std::vector<std::string>> arguments = commandLine(*this, {});
  if (!arguments) {
    return {};
  }
  std::size_t index = 0;
  if (baseName((*arguments)[0]) == "env") {
    index = 1;
    while (index < arguments->size() && ((*arguments)[index].starts_with("-") ||
                                         (*arguments)[index].find('=') != std::string::npos)) {
      ++index;
    }
  }
  return index < arguments->size() ? baseName((*arguments)[index]) : std::string();
}

DesktopEntries::DesktopEntries() {
  auto variable = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : std::string();
  };
  std::string home = variable("XDG_DATA_HOME");
  if (home.empty() && !variable("HOME").empty()) {
    home = variable("HOME") + "/.local/share";
  }
  std::string dirs = variable("XDG_DATA_DIRS");
  if (dirs.empty()) {
    dirs = "/usr/local/share:/usr/share";
  }
  if (!home.empty()) {
    directories_.push_back(fs::path(home) / "applications");
  }
  std::istringstream list(dirs);
  std::string dir;
  while (std::getline(list, dir, ':')) {
    if (!dir.empty()) {
      directories_.push_back(fs::path(dir) / "applications");
    }
  }
}

DesktopEntries::DesktopEntries(std::vector<fs::path> applicationDirectories)
    : directories_(std::move(applicationDirectories)) {}

const std::vector<DesktopEntry>& DesktopEntries::all() {
  refreshIfChanged();
  return entries_;
}

const DesktopEntry* DesktopEntries::byID(const std::string& id) {
  for (const DesktopEntry& entry : all()) {
    if (entry.id == id) {
      return &entry;
    }
  }
  return nullptr;
}

const DesktopEntry* DesktopEntries::byPath(const std::string& path) {
  for (const DesktopEntry& entry : all()) {
    if (entry.path == path) {
      return &entry;
    }
  }
  return nullptr;
}

void DesktopEntries::refreshIfChanged() {
  bool changed = !loaded_;
  for (const fs::path& dir : directories_) {
    std::error_code error;
    fs::file_time_type stamp = fs::last_write_time(dir, error);
    auto known = stamps_.find(dir.string());
    bool present = !error;
    if (present != (known != stamps_.end()) || (present && known->second != stamp)) {
      changed = true;
    }
  }
  for (const auto& [dir, stamp] : stamps_) {
    std::error_code error;
    if (fs::last_write_time(dir, error) != stamp || error) {
      changed = true;
    }
  }
  if (changed) {
    load();
  }
}

void DesktopEntries::load() {
  loaded_ = true;
  stamps_.clear();
  entries_.clear();
  std::set<std::string> seen;
  for (const fs::path& dir : directories_) {
    std::error_code error;
    fs::file_time_type stamp = fs::last_write_time(dir, error);
    if (error) {
      continue;
    }
    stamps_[dir.string()] = stamp;
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator
             it(dir, fs::directory_options::skip_permission_denied, error),
         end;
         !error && it != end; it.increment(error)) {
      if (it->is_directory(error)) {
        stamps_[it->path().string()] = fs::last_write_time(it->path(), error);
      } else if (it->path().extension() == ".desktop") {
        files.push_back(it->path());
      }
      error.clear();
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
      std::string id = file.lexically_relative(dir).replace_extension().string();
      std::replace(id.begin(), id.end(), '/', '-');
      if (!seen.insert(id).second) {
        continue;  // an earlier directory has it
      }
      std::ifstream in(file);
      std::stringstream text;
      text << in.rdbuf();
      std::optional<DesktopEntry> entry = parseDesktopEntry(text.str());
      if (!entry || !entry->application || entry->hidden) {
        continue;  // a Hidden entry still hides the ones of later directories
      }
      entry->id = id;
      entry->path = fs::absolute(file).lexically_normal().string();
      entries_.push_back(std::move(*entry));
    }
  }
  std::sort(entries_.begin(), entries_.end(),
            [](const DesktopEntry& a, const DesktopEntry& b) { return a.id < b.id; });
}

}  // namespace qor::platform
