#include "platform/dbus/call_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "core/uri.h"

namespace qor::platform::dbus {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr const char* kDisconnected = "org.freedesktop.DBus.Error.Disconnected";

bool sendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent <= 0) {
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

// One line of the authentication exchange, read a byte at a time so that nothing after it is
// taken from the socket.
std::optional<std::string> readLine(int fd, std::chrono::steady_clock::time_point deadline) {
  std::string line;
  while (line.size() < 512) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd watched{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&watched, 1, static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
    char c = 0;
    ssize_t got = ::recv(fd, &c, 1, 0);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return std::nullopt;
    }
    line.push_back(c);
    if (line.ends_with("\r\n")) {
      line.resize(line.size() - 2);
      return line;
    }
  }
  return std::nullopt;
}

int connectUnix(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    return -1;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  // An abstract name (leading NUL) is exactly as long as given; a path ends at its NUL.
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
                                       (path.front() == '\0' ? 0 : 1));
  int status = 0;
  do {
    status = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
  } while (status < 0 && errno == EINTR);
  if (status < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::vector<std::string> unixSocketPaths(const std::string& address) {
  std::vector<std::string> paths;
  std::string_view rest = address;
  while (!rest.empty()) {
    std::string_view entry = rest.substr(0, rest.find(';'));
    rest.remove_prefix(std::min(rest.size(), entry.size() + 1));
    if (!entry.starts_with("unix:")) {
      continue;
    }
    entry.remove_prefix(5);
    while (!entry.empty()) {
      std::string_view pair = entry.substr(0, entry.find(','));
      entry.remove_prefix(std::min(entry.size(), pair.size() + 1));
      std::optional<std::string> value;
      if (pair.starts_with("path=")) {
        value = uri::percentDecode(pair.substr(5));
      } else if (pair.starts_with("abstract=")) {
        value = uri::percentDecode(pair.substr(9));
        if (value) {
          value->insert(value->begin(), '\0');
        }
      }
      if (value && !value->empty()) {
        paths.push_back(std::move(*value));
      }
    }
  }
  return paths;
}

CallPipe::CallPipe(int fd, Peer peer) : fd_(fd) {
  if (peer == Peer::messageBus) {
    // A bus answers nothing before Hello; its reply finds no receiver and is dropped.
    appendMethodCall(
        out_, nextSerial_++,
        {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello"}, {});
  }
}

CallPipe::~CallPipe() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

std::unique_ptr<CallPipe> CallPipe::connect(const std::string& address, Peer peer,
                                            std::chrono::milliseconds timeout) {
  for (const std::string& path : unixSocketPaths(address)) {
    int fd = connectUnix(path);
    if (fd < 0) {
      continue;
    }
    if (std::unique_ptr<CallPipe> pipe = adopt(fd, peer, timeout)) {
      return pipe;
    }
  }
  return nullptr;
}

std::unique_ptr<CallPipe> CallPipe::adopt(int fd, Peer peer, std::chrono::milliseconds timeout) {
  std::unique_ptr<CallPipe> pipe(new CallPipe(fd, peer));
  if (!pipe->authenticate(timeout)) {
    return nullptr;
  }
  return pipe;
}

bool CallPipe::authenticate(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string uid = std::to_string(::getuid());
  static constexpr char kHex[] = "0123456789abcdef";
  std::string request("\0AUTH EXTERNAL ", 15);
  for (char c : uid) {
    request.push_back(kHex[static_cast<unsigned char>(c) >> 4]);
    request.push_back(kHex[static_cast<unsigned char>(c) & 0xF]);
  }
  request += "\r\n";
  if (!sendAll(fd_, request)) {
    return false;
  }
  std::optional<std::string> answer = readLine(fd_, deadline);
  if (!answer || !answer->starts_with("OK ") || !sendAll(fd_, "BEGIN\r\n")) {
    return false;
  }
  int flags = ::fcntl(fd_, F_GETFL);
  return flags >= 0 && ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0 && flush();
}

bool CallPipe::call(const CallAddress& address, std::span<const Argument> arguments,
                    Receiver* receiver, void* subject, std::uint32_t tag) {
  if (fd_ < 0 || congested()) {
    return false;
  }
  std::uint32_t serial = nextSerial_;
  if (!appendMethodCall(out_, serial, address, arguments)) {
    return false;
  }
  nextSerial_ = serial == UINT32_MAX ? 1 : serial + 1;  // serials are never 0
  pending_[serial] = Pending{receiver, subject, tag};
  return true;
}

bool CallPipe::flush() {
  while (fd_ >= 0 && outStart_ < out_.size()) {
    ssize_t sent =
        ::send(fd_, out_.data() + outStart_, out_.size() - outStart_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      outStart_ += static_cast<std::size_t>(sent);
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    } else {
      close();
      return false;
    }
  }
  out_.clear();
  outStart_ = 0;
  return fd_ >= 0;
}

bool CallPipe::receive() {
  if (fd_ < 0 || delivering_) {
    return fd_ >= 0;
  }
  for (;;) {
    if (in_.size() - inEnd_ < kReadChunk) {
      // Move what is unread to the front, then make room for a whole chunk.
      std::memmove(in_.data(), in_.data() + inStart_, inEnd_ - inStart_);
      inEnd_ -= inStart_;
      inStart_ = 0;
      in_.resize(std::max(in_.size(), inEnd_ + kReadChunk));
    }
    std::size_t room = in_.size() - inEnd_;
    ssize_t got = ::recv(fd_, in_.data() + inEnd_, room, MSG_DONTWAIT);
    if (got > 0) {
      inEnd_ += static_cast<std::size_t>(got);
      if (!deliverComplete()) {
        return false;
      }
      if (static_cast<std::size_t>(got) < room) {
        return fd_ >= 0;  // all there was
      }
      continue;
    }
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return fd_ >= 0;
    }
    close();
    return false;
  }
}

bool CallPipe::deliverComplete() {
  delivering_ = true;
  while (fd_ >= 0) {
    std::string_view unread(in_.data() + inStart_, inEnd_ - inStart_);
    std::optional<std::size_t> length = messageLength(unread);
    if (!length) {
      close();  // the stream cannot be followed any further
      break;
    }
    if (*length == 0 || *length > unread.size()) {
      if (*length > in_.size() - inStart_) {
        in_.resize(inStart_ + *length);  // room for the rest of a large message
      }
      break;
    }
    std::optional<MessageView> message = parseMessage(unread.substr(0, *length));
    if (!message) {
      close();
      break;
    }
    inStart_ += *length;
    if (!message->isReply()) {
      continue;  // signals and calls to the bridge are not asked for here
    }
    auto found = pending_.find(message->replySerial);
    if (found == pending_.end()) {
      continue;
    }
    Pending pending = found->second;
    pending_.erase(found);
    if (pending.receiver) {
      pending.receiver->received(pending.subject, pending.tag, *message);
    } else {
      --orphans_;
    }
  }
  delivering_ = false;
  return fd_ >= 0;
}

void CallPipe::forget(Receiver* receiver) {
  for (auto& [serial, pending] : pending_) {
    if (pending.receiver == receiver) {
      pending.receiver = nullptr;
      ++orphans_;
    }
  }
}

void CallPipe::close() {
  if (fd_ < 0) {
    return;
  }
  ::close(fd_);
  fd_ = -1;
  out_.clear();
  outStart_ = 0;
  // Every call still waiting learns that no reply will come.
  std::unordered_map<std::uint32_t, Pending> waiting;
  waiting.swap(pending_);
  orphans_ = 0;
  MessageView failure;
  failure.type = MessageType::error;
  failure.errorName = kDisconnected;
  for (const auto& [serial, pending] : waiting) {
    if (pending.receiver) {
      failure.replySerial = serial;
      pending.receiver->received(pending.subject, pending.tag, failure);
    }
  }
}

}  // namespace qor::platform::dbus
