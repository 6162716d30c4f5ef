// The backend's D-Bus wire format, alone: it reads what other applications send.
//
// Every input is used two ways:
// 1. As a stream of messages, cut up the way the call pipe cuts its reads: each message that
//    messageLength accepts is parsed, and the body of each message that parses is skipped by its
//    signature. Nothing may read outside the message, and what is reported must fit inside it.
// 2. As the parts of a method call (serial, addressing, integer and string arguments): a call
//    that appendMethodCall agrees to write must read back as exactly that call.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dbus/dbus_wire.h"

namespace qor::fuzzing {
namespace {

using namespace qor::platform::dbus;

[[noreturn]] void fault(const char* what) {
  std::fprintf(stderr, "dbus_wire_fuzzer: %s\n", what);
  std::abort();
}

void readMessages(std::string_view stream) {
  while (!stream.empty()) {
    const std::optional<std::size_t> length = messageLength(stream);
    if (!length || *length == 0 || *length > stream.size()) {
      return;
    }
    if (*length > kMaxMessageSize) {
      fault("a message longer than the limit was accepted");
    }
    const std::string_view message = stream.substr(0, *length);
    if (const std::optional<MessageView> view = parseMessage(message)) {
      if (view->bytes.size() != message.size() || view->bodyOffset > message.size()) {
        fault("the parsed message does not fit its bytes");
      }
      WireReader body = view->body();
      if (body.skip(view->signature) && body.offset() > message.size()) {
        fault("skipping the body read past the message");
      }
    }
    stream.remove_prefix(*length);
  }
}

// Takes the next piece of the input: a length byte, then that many bytes.
std::string_view nextPiece(std::string_view& input) {
  if (input.empty()) {
    return {};
  }
  const std::size_t length =
      std::min<std::size_t>(static_cast<unsigned char>(input[0]), input.size() - 1);
  const std::string_view piece = input.substr(1, length);
  input.remove_prefix(1 + length);
  return piece;
}

void checkArgumentsReadBack(const MessageView& view, const std::vector<Argument>& arguments) {
  WireReader body = view.body();
  for (const Argument& argument : arguments) {
    if (const auto* unsignedValue = std::get_if<std::uint32_t>(&argument)) {
      std::uint32_t read = 0;
      if (!body.u32(read) || read != *unsignedValue) {
        fault("an unsigned argument did not read back");
      }
    } else if (const auto* signedValue = std::get_if<std::int32_t>(&argument)) {
      std::int32_t read = 0;
      if (!body.i32(read) || read != *signedValue) {
        fault("a signed argument did not read back");
      }
    } else {
      std::string_view read;
      if (!body.string(read) || read != std::get<std::string_view>(argument)) {
        fault("a string argument did not read back");
      }
    }
  }
  if (body.offset() != view.bytes.size()) {
    fault("the body holds more than the arguments");
  }
}

void writeCall(std::string_view input) {
  const std::uint32_t serial = input.empty() ? 1 : static_cast<unsigned char>(input[0]) + 1u;
  CallAddress address;
  address.destination = nextPiece(input);
  address.path = nextPiece(input);
  address.interface = nextPiece(input);
  address.member = nextPiece(input);
  std::vector<Argument> arguments;
  while (!input.empty() && arguments.size() < 16) {
    const std::string_view piece = nextPiece(input);
    const std::uint32_t number = static_cast<std::uint32_t>(piece.size()) * 2654435761u;
    switch (piece.size() % 3) {
      case 0:
        arguments.emplace_back(piece);
        break;
      case 1:
        arguments.emplace_back(number);
        break;
      default:
        arguments.emplace_back(static_cast<std::int32_t>(number));
        break;
    }
  }

  std::string out = "kept";
  if (!appendMethodCall(out, serial, address, arguments)) {
    if (out != "kept") {
      fault("a refused call changed the output");
    }
    return;
  }
  const std::string_view call = std::string_view(out).substr(4);
  if (messageLength(call) != call.size()) {
    fault("a written call does not measure its own length");
  }
  const std::optional<MessageView> view = parseMessage(call);
  if (!view || view->type != MessageType::methodCall || view->serial != serial) {
    fault("a written call does not parse as that call");
  }
  checkArgumentsReadBack(*view, arguments);
}

}  // namespace
}  // namespace qor::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  qor::fuzzing::readMessages(input);
  qor::fuzzing::writeCall(input);
  return 0;
}
