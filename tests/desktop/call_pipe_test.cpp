// The walk's own D-Bus connection: calls it writes must be accepted by another implementation
// (sd-bus serves them here), every reply shape the walk reads must come out as sent, and a peer
// that misbehaves (breaks the stream, stops answering, closes) must fail only its own calls.

#include "platform/dbus/call_pipe.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "desktop/support/served_bus.h"
#include "platform/dbus/dbus_wire.h"

namespace qor::platform::dbus {
namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 2000ms;
constexpr const char* kObject = "/org/a11y/atspi/accessible/7";

// What a receiver was handed, copied out of the pipe's buffer.
struct Received {
  std::uint32_t tag = 0;
  MessageType type = MessageType::invalid;
  std::string errorName;
  std::string signature;
  std::string bytes;
  std::size_t bodyOffset = 0;
  bool bigEndian = false;
  WireReader body() const { return WireReader(bytes, bigEndian, bodyOffset); }
};

class Recorder final : public CallPipe::Receiver {
 public:
  void received(void*, std::uint32_t tag, const MessageView& reply) override {
    replies.push_back(Received{tag, reply.type, std::string(reply.errorName),
                               std::string(reply.signature), std::string(reply.bytes),
                               reply.bodyOffset, reply.bigEndian});
  }
  std::vector<Received> replies;
};

// Reads until `count` replies are in or the pipe closes, for at most kTimeout.
bool pumpUntil(CallPipe& pipe, const Recorder& recorder, std::size_t count) {
  auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (recorder.replies.size() < count && std::chrono::steady_clock::now() < deadline) {
    if (!pipe.flush()) {
      return false;
    }
    pollfd watched{pipe.fd(), POLLIN, 0};
    ::poll(&watched, 1, 100);
    if (!pipe.receive()) {
      return recorder.replies.size() >= count;
    }
  }
  return recorder.replies.size() >= count;
}

// An object served by sd-bus on the far end of a socket pair (served_bus.h). It answers the
// calls the walk makes with fixed values.
class ServedObject {
 public:
  ServedObject() = default;
  int takeClientFd() { return served_.takeClientFd(); }
  // The arguments of the last Echo call, as the server read them.
  std::string echoed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return echoed_;
  }

 private:
  static int answer(sd_bus_message* call, void* self, sd_bus_error* error) {
    auto* served = static_cast<ServedObject*>(self);
    std::string member = sd_bus_message_get_member(call);
    if (member == "GetRole") {
      return sd_bus_reply_method_return(call, "u", 42U);
    }
    if (member == "GetState") {
      return sd_bus_reply_method_return(call, "au", 3, 0x80000001U, 2U, 99U);
    }
    if (member == "GetInterfaces") {
      return sd_bus_reply_method_return(call, "as", 2, "org.a11y.atspi.Component",
                                        "org.a11y.atspi.Text");
    }
    if (member == "GetChildren") {
      return sd_bus_reply_method_return(call, "a(so)", 2, ":1.5", "/org/a11y/atspi/accessible/8",
                                        ":1.5", "/org/a11y/atspi/null");
    }
    if (member == "GetExtents") {
      std::uint32_t coordinates = 9;
      sd_bus_message_read(call, "u", &coordinates);
      return sd_bus_reply_method_return(call, "(iiii)", static_cast<std::int32_t>(coordinates),
                                        INT32_MIN, 300, -4);
    }
    if (member == "GetActions") {
      return sd_bus_reply_method_return(call, "a(sss)", 2, "click", "Clicks", "<Alt>c", "edit", "",
                                        "");
    }
    if (member == "GetText") {
      std::int32_t from = 0, to = 0;
      sd_bus_message_read(call, "ii", &from, &to);
      std::string text = "Grüße " + std::to_string(from) + ".." + std::to_string(to);
      return sd_bus_reply_method_return(call, "s", text.c_str());
    }
    if (member == "Get") {
      return sd_bus_reply_method_return(call, "v", "d", -2.5);
    }
    if (member == "GetAll") {
      return replyProperties(call);
    }
    if (member == "Echo") {
      const char *first = nullptr, *second = nullptr;
      std::uint32_t number = 0;
      std::int32_t signedNumber = 0;
      sd_bus_message_read(call, "ssui", &first, &second, &number, &signedNumber);
      std::lock_guard<std::mutex> lock(served->mutex_);
      served->echoed_ = std::string(first) + "|" + second + "|" + std::to_string(number) + "|" +
                        std::to_string(signedNumber);
      return sd_bus_reply_method_return(call, "");
    }
    return sd_bus_error_set(error, "org.freedesktop.DBus.Error.UnknownMethod", "no such method");
  }

  // Accessible properties, with values of other types between them that must be skipped.
  static int replyProperties(sd_bus_message* call) {
    sd_bus_message* reply = nullptr;
    int status = sd_bus_message_new_method_return(call, &reply);
    status = status < 0 ? status : sd_bus_message_open_container(reply, 'a', "{sv}");
    status = status < 0 ? status : sd_bus_message_append(reply, "{sv}", "Name", "s", "Zoom");
    status = status < 0 ? status
                        : sd_bus_message_append(reply, "{sv}", "Nested", "a{sv}", 1, "deep",
                                                "(xay)", INT64_C(-1), 3, 1, 2, 3);
    status = status < 0 ? status : sd_bus_message_append(reply, "{sv}", "ChildCount", "i", 12);
    status = status < 0 ? status
                        : sd_bus_message_append(reply, "{sv}", "Parent", "(so)", ":1.5",
                                                "/org/a11y/atspi/accessible/root");
    status = status < 0 ? status : sd_bus_message_append(reply, "{sv}", "Scale", "d", 1.5);
    status = status < 0 ? status : sd_bus_message_append(reply, "{sv}", "Description", "s", "");
    status = status < 0 ? status : sd_bus_message_close_container(reply);
    status = status < 0 ? status : sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return status;
  }

  mutable std::mutex mutex_;
  std::string echoed_;
  // Last: it is started once everything it calls is there, and stopped first.
  desktoptest::ServedBus served_{[this](sd_bus* bus) {
    EXPECT_GE(sd_bus_add_object(bus, nullptr, kObject, &answer, this), 0);
  }};
};

CallAddress at(const char* interface, const char* member) {
  return CallAddress{"", kObject, interface, member};
}

TEST(CallPipe, SendsCallsThatAnotherImplementationAccepts) {
  ServedObject served;
  auto pipe = CallPipe::adopt(served.takeClientFd(), CallPipe::Peer::application, kTimeout);
  ASSERT_NE(pipe, nullptr);
  Recorder recorder;
  const Argument arguments[] = {std::string_view("Ünïcødé ✓"), std::string_view(""),
                                std::uint32_t{4'000'000'000U}, std::int32_t{-7}};
  ASSERT_TRUE(pipe->call(at("org.example.Test", "Echo"), arguments, &recorder, nullptr, 1));
  ASSERT_TRUE(pumpUntil(*pipe, recorder, 1));
  EXPECT_EQ(recorder.replies[0].type, MessageType::methodReturn);
  EXPECT_EQ(served.echoed(), "Ünïcødé ✓||4000000000|-7");
}

TEST(CallPipe, ReadsEveryReplyShapeOfTheWalk) {
  ServedObject served;
  auto pipe = CallPipe::adopt(served.takeClientFd(), CallPipe::Peer::application, kTimeout);
  ASSERT_NE(pipe, nullptr);
  Recorder recorder;
  const Argument screen[] = {std::uint32_t{3}};
  const Argument range[] = {std::int32_t{0}, std::int32_t{100000}};
  const Argument property[] = {std::string_view("org.a11y.atspi.Value"),
                               std::string_view("CurrentValue")};
  const Argument interface[] = {std::string_view("org.a11y.atspi.Accessible")};
  const char* kAccessible = "org.a11y.atspi.Accessible";
  ASSERT_TRUE(pipe->call(at(kAccessible, "GetRole"), {}, &recorder, nullptr, 0));
  ASSERT_TRUE(pipe->call(at(kAccessible, "GetState"), {}, &recorder, nullptr, 1));
  ASSERT_TRUE(pipe->call(at(kAccessible, "GetInterfaces"), {}, &recorder, nullptr, 2));
  ASSERT_TRUE(pipe->call(at(kAccessible, "GetChildren"), {}, &recorder, nullptr, 3));
  ASSERT_TRUE(
      pipe->call(at("org.a11y.atspi.Component", "GetExtents"), screen, &recorder, nullptr, 4));
  ASSERT_TRUE(pipe->call(at("org.a11y.atspi.Action", "GetActions"), {}, &recorder, nullptr, 5));
  ASSERT_TRUE(pipe->call(at("org.a11y.atspi.Text", "GetText"), range, &recorder, nullptr, 6));
  ASSERT_TRUE(
      pipe->call(at("org.freedesktop.DBus.Properties", "Get"), property, &recorder, nullptr, 7));
  ASSERT_TRUE(pipe->call(at("org.freedesktop.DBus.Properties", "GetAll"), interface, &recorder,
                         nullptr, 8));
  ASSERT_TRUE(pumpUntil(*pipe, recorder, 9));
  ASSERT_EQ(recorder.replies.size(), 9u);
  for (std::uint32_t i = 0; i < 9; ++i) {
    EXPECT_EQ(recorder.replies[i].tag, i) << "replies come in the order of their calls";
    EXPECT_EQ(recorder.replies[i].type, MessageType::methodReturn) << i;
  }

  std::uint32_t role = 0;
  EXPECT_TRUE(recorder.replies[0].body().u32(role));
  EXPECT_EQ(role, 42u);

  WireReader states = recorder.replies[1].body();
  std::size_t end = 0;
  std::vector<std::uint32_t> words(3);
  EXPECT_EQ(recorder.replies[1].signature, "au");
  EXPECT_TRUE(states.array("u", end) && states.u32(words[0]) && states.u32(words[1]) &&
              states.u32(words[2]));
  EXPECT_FALSE(states.within(end));
  EXPECT_EQ(words, (std::vector<std::uint32_t>{0x80000001U, 2U, 99U}));

  WireReader interfaces = recorder.replies[2].body();
  std::string_view first, second;
  EXPECT_TRUE(interfaces.array("s", end) && interfaces.string(first) && interfaces.string(second));
  EXPECT_EQ(second, "org.a11y.atspi.Text");

  WireReader children = recorder.replies[3].body();
  std::string_view bus, path, nullBus, nullPath;
  EXPECT_TRUE(children.array("(so)", end) && children.structure() && children.string(bus) &&
              children.string(path) && children.structure() && children.string(nullBus) &&
              children.string(nullPath));
  EXPECT_EQ(path, "/org/a11y/atspi/accessible/8");
  EXPECT_EQ(nullPath, "/org/a11y/atspi/null");

  WireReader extents = recorder.replies[4].body();
  std::array<std::int32_t, 4> frame{};
  EXPECT_TRUE(extents.structure() && extents.i32(frame[0]) && extents.i32(frame[1]) &&
              extents.i32(frame[2]) && extents.i32(frame[3]));
  EXPECT_EQ(frame, (std::array<std::int32_t, 4>{3, INT32_MIN, 300, -4}));

  WireReader actions = recorder.replies[5].body();
  std::string_view name, description, keys, secondName;
  EXPECT_TRUE(actions.array("(sss)", end) && actions.structure() && actions.string(name) &&
              actions.string(description) && actions.string(keys) && actions.structure() &&
              actions.string(secondName));
  EXPECT_EQ(keys, "<Alt>c");
  EXPECT_EQ(secondName, "edit");

  std::string_view text;
  EXPECT_TRUE(recorder.replies[6].body().string(text));
  EXPECT_EQ(text, "Grüße 0..100000");

  WireReader value = recorder.replies[7].body();
  std::string_view contained;
  double number = 0;
  EXPECT_TRUE(value.variant(contained) && value.f64(number));
  EXPECT_EQ(contained, "d");
  EXPECT_EQ(number, -2.5);

  // Properties of other types lie between those read and are skipped whole.
  WireReader properties = recorder.replies[8].body();
  std::vector<std::string> seen;
  EXPECT_TRUE(properties.array("{sv}", end));
  std::string_view key, type;
  while (properties.within(end) && properties.structure() && properties.string(key) &&
         properties.variant(type)) {
    seen.emplace_back(key);
    if (key == "ChildCount") {
      std::int32_t childCount = 0;
      EXPECT_TRUE(properties.i32(childCount));
      EXPECT_EQ(childCount, 12);
    } else {
      EXPECT_TRUE(properties.skip(type)) << key;
    }
  }
  EXPECT_TRUE(properties.ok());
  EXPECT_EQ(seen, (std::vector<std::string>{"Name", "Nested", "ChildCount", "Parent", "Scale",
                                            "Description"}));
}

TEST(CallPipe, HandsAnErrorReplyToItsCallerOnly) {
  ServedObject served;
  auto pipe = CallPipe::adopt(served.takeClientFd(), CallPipe::Peer::application, kTimeout);
  ASSERT_NE(pipe, nullptr);
  Recorder recorder;
  ASSERT_TRUE(pipe->call(at("org.example.Test", "Missing"), {}, &recorder, nullptr, 1));
  ASSERT_TRUE(pipe->call(at("org.a11y.atspi.Accessible", "GetRole"), {}, &recorder, nullptr, 2));
  ASSERT_TRUE(pumpUntil(*pipe, recorder, 2));
  EXPECT_EQ(recorder.replies[0].type, MessageType::error);
  EXPECT_EQ(recorder.replies[0].errorName, "org.freedesktop.DBus.Error.UnknownMethod");
  EXPECT_EQ(recorder.replies[1].type, MessageType::methodReturn);
  EXPECT_TRUE(pipe->isOpen());
}

TEST(CallPipe, DropsTheRepliesOfAForgottenReceiver) {
  ServedObject served;
  auto pipe = CallPipe::adopt(served.takeClientFd(), CallPipe::Peer::application, kTimeout);
  ASSERT_NE(pipe, nullptr);
  Recorder gone, staying;
  ASSERT_TRUE(pipe->call(at("org.a11y.atspi.Accessible", "GetRole"), {}, &gone, nullptr, 1));
  ASSERT_TRUE(pipe->call(at("org.a11y.atspi.Accessible", "GetRole"), {}, &staying, nullptr, 2));
  pipe->forget(&gone);
  ASSERT_TRUE(pumpUntil(*pipe, staying, 1));
  EXPECT_TRUE(gone.replies.empty());
  EXPECT_EQ(pipe->pending(), 0u);
}

// A peer whose side of the socket the test writes by hand.
struct RawPeer {
  int fd = -1;
  std::unique_ptr<CallPipe> pipe;

  // Authenticates the pipe with `answer` already waiting for it.
  explicit RawPeer(const std::string& answer,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(kTimeout)) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    fd = fds[0];
    if (!answer.empty()) {
      EXPECT_EQ(::write(fd, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    }
    pipe = CallPipe::adopt(fds[1], CallPipe::Peer::application, timeout);
  }
  ~RawPeer() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  void send(std::string_view bytes) const {
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Everything the pipe wrote so far.
  std::string written() const {
    std::string all(1 << 16, '\0');
    ssize_t got = ::recv(fd, all.data(), all.size(), MSG_DONTWAIT);
    all.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return all;
  }
};

void put32(std::string& out, std::uint32_t value, bool bigEndian) {
  for (int i = 0; i < 4; ++i) {
    int shift = bigEndian ? 24 - 8 * i : 8 * i;
    out.push_back(static_cast<char>((value >> shift) & 0xFF));
  }
}

// A method return for `replySerial` whose body is one "u", in either byte order.
std::string replyWithNumber(std::uint32_t replySerial, std::uint32_t number, bool bigEndian) {
  std::string message;
  message += bigEndian ? 'B' : 'l';
  message += '\x02';  // method return
  message += '\0';
  message += '\x01';
  put32(message, 4, bigEndian);    // body length
  put32(message, 900, bigEndian);  // serial
  put32(message, 15, bigEndian);   // header fields length
  message += std::string("\x05\x01u\0", 4);
  put32(message, replySerial, bigEndian);
  message += std::string("\x08\x01g\0\x01u\0", 7);
  message += '\0';  // padding to the body
  put32(message, number, bigEndian);
  return message;
}

TEST(CallPipe, ReassemblesAReplyThatArrivesAByteAtATimeInEitherByteOrder) {
  for (bool bigEndian : {false, true}) {
    RawPeer peer("OK 0123456789abcdef0123456789abcdef\r\n");
    ASSERT_NE(peer.pipe, nullptr);
    EXPECT_TRUE(peer.written().find("AUTH EXTERNAL ") != std::string::npos);
    Recorder recorder;
    ASSERT_TRUE(
        peer.pipe->call(at("org.a11y.atspi.Accessible", "GetRole"), {}, &recorder, nullptr, 5));
    ASSERT_TRUE(peer.pipe->flush());
    std::string reply = replyWithNumber(1, 0xA1B2C3D4, bigEndian);
    for (char byte : reply) {
      EXPECT_TRUE(recorder.replies.empty());
      peer.send(std::string_view(&byte, 1));
      ASSERT_TRUE(peer.pipe->receive());
    }
    ASSERT_EQ(recorder.replies.size(), 1u);
    std::uint32_t number = 0;
    EXPECT_TRUE(recorder.replies[0].body().u32(number));
    EXPECT_EQ(number, 0xA1B2C3D4u);
    EXPECT_EQ(recorder.replies[0].tag, 5u);
  }
}

TEST(CallPipe, RefusesAPeerThatDoesNotAuthenticateIt) {
  EXPECT_EQ(RawPeer("REJECTED EXTERNAL\r\n").pipe, nullptr);
  EXPECT_EQ(RawPeer("", 30ms).pipe, nullptr);  // says nothing within the time allowed
  EXPECT_EQ(CallPipe::connect("tcp:host=localhost,port=1", CallPipe::Peer::application, 30ms),
            nullptr);
}

TEST(CallPipe, FailsEveryWaitingCallWhenTheStreamBreaksOrCloses) {
  for (bool closeInstead : {false, true}) {
    RawPeer peer("OK 0123456789abcdef0123456789abcdef\r\n");
    ASSERT_NE(peer.pipe, nullptr);
    Recorder recorder;
    ASSERT_TRUE(
        peer.pipe->call(at("org.a11y.atspi.Accessible", "GetRole"), {}, &recorder, nullptr, 1));
    ASSERT_TRUE(
        peer.pipe->call(at("org.a11y.atspi.Accessible", "GetState"), {}, &recorder, nullptr, 2));
    ASSERT_TRUE(peer.pipe->flush());
    if (closeInstead) {
      ::close(std::exchange(peer.fd, -1));
    } else {
      peer.send("garbage that is no message at all");
    }
    EXPECT_FALSE(peer.pipe->receive());
    EXPECT_FALSE(peer.pipe->isOpen());
    ASSERT_EQ(recorder.replies.size(), 2u);
    for (const Received& failed : recorder.replies) {
      EXPECT_EQ(failed.type, MessageType::error);
      EXPECT_EQ(failed.errorName, "org.freedesktop.DBus.Error.Disconnected");
    }
    EXPECT_FALSE(
        peer.pipe->call(at("org.a11y.atspi.Accessible", "GetRole"), {}, &recorder, nullptr, 3));
  }
}

TEST(CallPipe, TakesNoCallsWhileTooManyForgottenOnesAreUnanswered) {
  RawPeer peer("OK 0123456789abcdef0123456789abcdef\r\n");
  ASSERT_NE(peer.pipe, nullptr);
  Recorder recorder;
  for (std::size_t i = 0; i < CallPipe::kMaxOrphans; ++i) {
    ASSERT_TRUE(
        peer.pipe->call(at("org.a11y.atspi.Accessible", "GetRole"), {}, &recorder, nullptr, 0));
  }
  ASSERT_TRUE(peer.pipe->flush());
  EXPECT_FALSE(peer.pipe->congested()) << "calls of a receiver still waiting count for nothing";
  peer.pipe->forget(&recorder);
  EXPECT_TRUE(peer.pipe->congested());
  Recorder next;
  EXPECT_FALSE(peer.pipe->call(at("org.a11y.atspi.Accessible", "GetRole"), {}, &next, nullptr, 0));
  EXPECT_TRUE(peer.pipe->isOpen());

  // Once the peer answers the first of them, calls are taken again.
  peer.send(replyWithNumber(1, 0, false));
  ASSERT_TRUE(peer.pipe->receive());
  EXPECT_FALSE(peer.pipe->congested());
  EXPECT_TRUE(peer.pipe->call(at("org.a11y.atspi.Accessible", "GetRole"), {}, &next, nullptr, 0));
  EXPECT_TRUE(recorder.replies.empty());
}

// The session's accessibility bus, where the registry answers.
TEST(CallPipe, CallsThroughAMessageBusAfterSayingHello) {
  sd_bus* session = nullptr;
  ASSERT_GE(sd_bus_open_user(&session), 0);
  sd_bus_message* answer = nullptr;
  sd_bus_error error{};  // all empty, as SD_BUS_ERROR_NULL
  int status = sd_bus_call_method(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                  "GetAddress", &error, &answer, "");
  sd_bus_error_free(&error);
  ASSERT_GE(status, 0);
  const char* address = nullptr;
  ASSERT_GE(sd_bus_message_read(answer, "s", &address), 0);
  auto pipe = CallPipe::connect(address, CallPipe::Peer::messageBus, kTimeout);
  sd_bus_message_unref(answer);
  sd_bus_flush_close_unref(session);
  ASSERT_NE(pipe, nullptr);

  Recorder recorder;
  ASSERT_TRUE(pipe->call({"org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root",
                          "org.a11y.atspi.Accessible", "GetRole"},
                         {}, &recorder, nullptr, 1));
  ASSERT_TRUE(pipe->call({"org.example.NobodyHere", "/", "org.example.Test", "Anything"}, {},
                         &recorder, nullptr, 2));
  ASSERT_TRUE(pumpUntil(*pipe, recorder, 2));
  // The bus answers for a name nobody owns at once, so the replies may come in either order.
  const Received& role = recorder.replies[0].tag == 1 ? recorder.replies[0] : recorder.replies[1];
  const Received& refusal =
      recorder.replies[0].tag == 2 ? recorder.replies[0] : recorder.replies[1];
  EXPECT_EQ(role.type, MessageType::methodReturn);
  EXPECT_EQ(role.signature, "u");
  EXPECT_EQ(refusal.type, MessageType::error);
  EXPECT_EQ(refusal.errorName, "org.freedesktop.DBus.Error.ServiceUnknown");
}

TEST(DBusWire, RefusesToWriteWhatCannotBeSent) {
  std::string out = "kept";
  const Argument fine[] = {std::uint32_t{1}};
  const Argument brokenText[] = {std::string_view("\xC3\x28")};
  const Argument withNul[] = {std::string_view("a\0b", 3)};
  EXPECT_FALSE(appendMethodCall(out, 1, {"", "no/leading/slash", "a.b", "c"}, fine));
  EXPECT_FALSE(appendMethodCall(out, 1, {"", "/trailing/", "a.b", "c"}, fine));
  EXPECT_FALSE(appendMethodCall(out, 1, {"", "/a//b", "a.b", "c"}, fine));
  EXPECT_FALSE(appendMethodCall(out, 1, {"", "/a-b", "a.b", "c"}, fine));
  EXPECT_FALSE(appendMethodCall(out, 1, {"", "/a", "", "c"}, fine));
  EXPECT_FALSE(appendMethodCall(out, 1, {"", "/a", "a.b", "with space"}, fine));
  EXPECT_FALSE(appendMethodCall(out, 1, {"", "/a", "a.b", "c"}, brokenText));
  EXPECT_FALSE(appendMethodCall(out, 1, {"", "/a", "a.b", "c"}, withNul));
  EXPECT_FALSE(appendMethodCall(out, 0, {"", "/a", "a.b", "c"}, fine));
  EXPECT_EQ(out, "kept");
  EXPECT_TRUE(appendMethodCall(out, 1, {":1.5", "/", "a.b", "c"}, fine));
  std::optional<MessageView> written = parseMessage(std::string_view(out).substr(4));
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(written->type, MessageType::methodCall);
  EXPECT_EQ(written->signature, "u");
}

TEST(DBusWire, FailsReadsOfMalformedMessagesInsteadOfReadingPastThem) {
  std::string good = replyWithNumber(3, 7, false);
  EXPECT_EQ(messageLength(std::string_view(good).substr(0, 15)), 0u);  // too little to tell
  EXPECT_EQ(messageLength(good), good.size());
  std::string wrongOrder = good;
  wrongOrder[0] = 'x';
  EXPECT_EQ(messageLength(wrongOrder), std::nullopt);
  std::string wrongVersion = good;
  wrongVersion[3] = 2;
  EXPECT_EQ(messageLength(wrongVersion), std::nullopt);
  std::string huge = good;
  huge.replace(4, 4, std::string("\xFF\xFF\xFF\x7F", 4));
  EXPECT_EQ(messageLength(huge), std::nullopt);
  std::string dirtyPadding = good;
  dirtyPadding[31] = 1;
  EXPECT_EQ(parseMessage(dirtyPadding), std::nullopt);
  EXPECT_EQ(parseMessage(std::string_view(good).substr(0, good.size() - 1)), std::nullopt);

  // Bodies: an array longer than its message, broken UTF-8, a variant of two types, and
  // nesting deeper than D-Bus allows.
  auto reader = [](const std::string& bytes) { return WireReader(bytes, false, 0); };
  std::string array;
  put32(array, 1000, false);
  array += "abcd";
  std::size_t end = 0;
  EXPECT_FALSE(reader(array).array("u", end));
  std::string badText;
  put32(badText, 2, false);
  badText += std::string("\xC3\x28\0", 3);
  std::string_view text;
  EXPECT_FALSE(reader(badText).string(text));
  std::string twoTypes = std::string("\x02us\0", 4);
  std::string_view contained;
  EXPECT_FALSE(reader(twoTypes).variant(contained));
  std::string deep(200, '\0');
  EXPECT_FALSE(reader(deep).skip(std::string(70, 'a') + "u"));
  WireReader failed = reader(array);
  std::uint32_t number = 0;
  failed.array("u", end);
  EXPECT_FALSE(failed.u32(number)) << "a failed reader stays failed";
}

TEST(DBusWire, FindsTheUnixSocketsOfAnAddress) {
  EXPECT_EQ(unixSocketPaths("unix:path=/run/user/0/at-spi/bus_0,guid=2538e0"),
            (std::vector<std::string>{"/run/user/0/at-spi/bus_0"}));
  EXPECT_EQ(unixSocketPaths("unix:abstract=/tmp/dbus-Ab%2c1"),
            (std::vector<std::string>{std::string("\0/tmp/dbus-Ab,1", 15)}));
  EXPECT_EQ(unixSocketPaths("tcp:host=localhost,port=1;unix:guid=1,path=/a%20b;unix:path=/c"),
            (std::vector<std::string>{"/a b", "/c"}));
  EXPECT_TRUE(unixSocketPaths("unix:path=/broken%2").empty());
  EXPECT_TRUE(unixSocketPaths("unix:tmpdir=/tmp").empty());
  EXPECT_TRUE(unixSocketPaths("").empty());
}

}  // namespace
}  // namespace qor::platform::dbus
