#pragma once
// A D-Bus connection of the bridge's own for many calls in flight at once, used by the
// accessibility walk (atspi_tree.h): calls are marshalled into one buffer and written together,
// and replies are read in large chunks and handed to whoever sent each call.
//
// Why not sd-bus for this: it reads every incoming message with two system calls, and a walk
// that waited for its replies through it woke up for every one or two of them, so that the
// bridge's side of a walk cost about as much as the application's. sd-bus still carries every
// other request.
//
// Connects to Unix socket addresses ("unix:path=..." or "unix:abstract=..."), authenticates as
// this user (EXTERNAL), and says Hello first when the other end is a message bus. Main thread
// only.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/dbus/dbus_wire.h"

namespace qor::platform::dbus {

class CallPipe {
 public:
  // Where a reply goes: `subject` and `tag` are what was passed along with the call. The reply
  // and everything it points into are valid during the call only.
  class Receiver {
   public:
    virtual void received(void* subject, std::uint32_t tag, const MessageView& reply) = 0;

   protected:
    ~Receiver() = default;
  };

  enum class Peer { application, messageBus };

  // Nothing when no part of `address` can be reached or authentication fails within `timeout`.
  static std::unique_ptr<CallPipe> connect(const std::string& address, Peer peer,
                                           std::chrono::milliseconds timeout);
  // Takes a connected socket that has not been authenticated yet (for tests: a socket pair).
  static std::unique_ptr<CallPipe> adopt(int fd, Peer peer, std::chrono::milliseconds timeout);
  ~CallPipe();
  CallPipe(const CallPipe&) = delete;
  CallPipe& operator=(const CallPipe&) = delete;

  int fd() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }
  // Queues a call; its reply goes to `receiver`, or an error named
  // "org.freedesktop.DBus.Error.Disconnected" when the connection closes first. False when the
  // call cannot be sent: the connection is closed or congested, or the address or an argument
  // is invalid.
  bool call(const CallAddress& address, std::span<const Argument> arguments, Receiver* receiver,
            void* subject, std::uint32_t tag);
  // Writes as much of the queued calls as the socket takes now; false when the connection broke.
  bool flush();
  bool hasUnwritten() const { return outStart_ < out_.size(); }
  // Reads whatever has arrived without waiting and delivers every complete reply; false when
  // the connection is closed.
  bool receive();
  // Replies still to come for `receiver` are dropped when they arrive.
  void forget(Receiver* receiver);
  std::size_t pending() const { return pending_.size(); }
  // Whether so many calls of forgotten receivers are still unanswered that the peer has
  // evidently stopped answering: no more calls are taken until it catches up, so that what is
  // kept for it does not grow without end.
  bool congested() const { return orphans_ >= kMaxOrphans; }
  static constexpr std::size_t kMaxOrphans = 4096;

 private:
  struct Pending {
    Receiver* receiver;
    void* subject;
    std::uint32_t tag;
  };

  CallPipe(int fd, Peer peer);
  bool authenticate(std::chrono::milliseconds timeout);
  bool deliverComplete();
  void close();

  int fd_;
  std::string out_;
  std::size_t outStart_ = 0;
  std::string in_;
  std::size_t inStart_ = 0;
  std::size_t inEnd_ = 0;
  std::uint32_t nextSerial_ = 1;
  std::unordered_map<std::uint32_t, Pending> pending_;
  std::size_t orphans_ = 0;
  bool delivering_ = false;
};

// The socket addresses in a D-Bus address list, in order; entries of other transports are left
// out. Abstract names start with a NUL byte.
std::vector<std::string> unixSocketPaths(const std::string& address);

}  // namespace qor::platform::dbus
