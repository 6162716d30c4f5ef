// The walk's reader of one application, against a toolkit served by sd-bus that answers oddly:
// each case is one object read through AppTree, with what the toolkit answers and what the
// bridge may make of it. Nothing odd may turn into a value the controller would act on.

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "desktop/support/served_bus.h"
#include "platform/atspi/atspi_tree.h"
#include "platform/dbus/call_pipe.h"

namespace qor::platform {
namespace {

using namespace std::chrono_literals;

constexpr const char* kBus = ":1.5";
constexpr const char* kButton = "/org/a11y/atspi/accessible/7";
constexpr const char* kWindow = "/org/a11y/atspi/accessible/2";  // the button's parent
constexpr const char* kRoot = "/org/a11y/atspi/accessible/root";
constexpr std::uint32_t kRolePushButton = 43;

// How the toolkit answers one call: a reply sent, or nothing at all (the call never returns).
using Answer = std::function<int(sd_bus_message* call, const std::string& member)>;

// A push button in a window, with a name and extents, answering like GTK 3 unless a case says
// otherwise. The window answers as the button does, except for its one child.
int ordinary(sd_bus_message* call, const std::string& member) {
  const std::string path = sd_bus_message_get_path(call);
  if (member == "GetAll") {
    return sd_bus_reply_method_return(call, "a{sv}", 3, "Name", "s", "Save", "ChildCount", "i",
                                      path == kWindow ? 1 : 0, "Parent", "(so)", kBus, kRoot);
  }
  if (member == "Get") {
    const char *interface = nullptr, *property = nullptr;
    sd_bus_message_read(call, "ss", &interface, &property);
    const std::string name = property ? property : "";
    if (name == "Name") {
      return sd_bus_reply_method_return(call, "v", "s", "Save");
    }
    if (name == "Parent") {
      return sd_bus_reply_method_return(call, "v", "(so)", kBus, kRoot);
    }
    return sd_bus_reply_method_return(call, "v", "i", 0);
  }
  if (member == "GetChildren") {
    return path == kWindow ? sd_bus_reply_method_return(call, "a(so)", 1, kBus, kButton)
                           : sd_bus_reply_method_return(call, "a(so)", 0);
  }
  if (member == "GetRole") {
    return sd_bus_reply_method_return(call, "u", kRolePushButton);
  }
  if (member == "GetState") {
    return sd_bus_reply_method_return(call, "au", 2, 0U, 0U);
  }
  if (member == "GetInterfaces") {
    return sd_bus_reply_method_return(call, "as", 1, "org.a11y.atspi.Component");
  }
  if (member == "GetExtents") {
    return sd_bus_reply_method_return(call, "(iiii)", 10, 20, 80, 30);
  }
  return sd_bus_reply_method_errorf(call, "org.freedesktop.DBus.Error.UnknownMethod", "no %s",
                                    member.c_str());
}

// The toolkit, on the far end of a socket pair, in a thread of its own.
class Toolkit {
 public:
  explicit Toolkit(Answer answer) : answer_(std::move(answer)) {}

  AtspiChannel channel() {
    auto pipe =
        dbus::CallPipe::adopt(served_.takeClientFd(), dbus::CallPipe::Peer::application, 2000ms);
    return AtspiChannel{nullptr, "", {std::shared_ptr<dbus::CallPipe>(std::move(pipe))}};
  }
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  static int dispatch(sd_bus_message* call, void* self, sd_bus_error*) {
    auto* toolkit = static_cast<Toolkit*>(self);
    std::string member = sd_bus_message_get_member(call);
    std::string recorded = member;
    const char *interface = nullptr, *property = nullptr;
    if (member == "Get" && sd_bus_message_read(call, "ss", &interface, &property) > 0) {
      recorded += std::string(" ") + property;  // "Get Parent"
      sd_bus_message_rewind(call, 1);
    }
    {
      std::lock_guard<std::mutex> lock(toolkit->mutex_);
      toolkit->calls_.push_back(recorded);
    }
    return toolkit->answer_(call, member);
  }

  Answer answer_;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  // Last: it is started once everything it calls is there, and stopped first.
  desktoptest::ServedBus served_{[this](sd_bus* bus) {
    EXPECT_GE(sd_bus_add_fallback(bus, nullptr, "/", &dispatch, this), 0);
  }};
};

// Answers `member` with `special`, everything else as an ordinary button.
Answer except(const std::string& member, Answer special) {
  return [member, special](sd_bus_message* call, const std::string& asked) {
    return asked == member ? special(call, asked) : ordinary(call, asked);
  };
}

Answer extents(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height) {
  return except("GetExtents", [=](sd_bus_message* call, const std::string&) {
    return sd_bus_reply_method_return(call, "(iiii)", x, y, width, height);
  });
}

Answer failing(const std::string& member, const char* error) {
  return except(member, [error](sd_bus_message* call, const std::string&) {
    return sd_bus_reply_method_errorf(call, error, "odd");
  });
}

// A button with one action: GetActions lists it as Qt does (the name GetName answers), GTK
// under a localized name; GetName answers "click".
int withAction(sd_bus_message* call, const std::string& member) {
  if (member == "GetInterfaces") {
    return sd_bus_reply_method_return(call, "as", 2, "org.a11y.atspi.Component",
                                      "org.a11y.atspi.Action");
  }
  if (member == "GetActions") {
    return sd_bus_reply_method_return(call, "a(sss)", 1, "Press", "Triggers the action", "");
  }
  if (member == "GetName") {
    return sd_bus_reply_method_return(call, "s", "click");
  }
  return ordinary(call, member);
}

// A text field holding "hello". Its length is answered as `length`, or not at all when negative;
// asked for a range beyond that, it answers "beyond", as Qt answers after a warning.
Answer textField(std::int32_t length) {
  return [length](sd_bus_message* call, const std::string& member) {
    if (member == "GetRole") {
      return sd_bus_reply_method_return(call, "u", 61U);
    }
    if (member == "GetInterfaces") {
      return sd_bus_reply_method_return(call, "as", 2, "org.a11y.atspi.Component",
                                        "org.a11y.atspi.Text");
    }
    if (member == "GetText") {
      std::int32_t start = 0, end = 0;
      sd_bus_message_read(call, "ii", &start, &end);
      return sd_bus_reply_method_return(call, "s", end == 5 ? "hello" : "beyond");
    }
    const char *interface = nullptr, *property = nullptr;
    if (member == "Get" && sd_bus_message_read(call, "ss", &interface, &property) > 0 &&
        std::string(property) == "CharacterCount") {
      return length < 0 ? sd_bus_reply_method_errorf(
                              call, "org.freedesktop.DBus.Error.UnknownProperty", "none")
                        : sd_bus_reply_method_return(call, "v", "i", length);
    }
    sd_bus_message_rewind(call, 1);
    return ordinary(call, member);
  };
}

Answer silent(const std::string& member) {
  return except(member, [](sd_bus_message*, const std::string&) { return 1; });
}

struct OddCase {
  const char* name;
  Answer answer;
  bool qt = false;  // else GetItems first
  std::function<void(const AccessibleNode&, const AppTree&, const std::vector<std::string>&)> check;
  bool throughWindow = false;  // the walk reaches the button through its window's children
};

std::size_t count(const std::vector<std::string>& calls, const char* member) {
  return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), member));
}

TEST(AppTree, TakesOddAnswersForWhatTheyAre) {
  using desktop::kAXErrorNoValue;
  using desktop::kAXSuccess;
  const OddCase cases[] = {
      {"ordinary button", ordinary, false,
       [](const AccessibleNode& node, const AppTree&, const auto&) {
         EXPECT_EQ(node.name, "Save");
         EXPECT_EQ(node.role, kRolePushButton);
         EXPECT_EQ(node.extentsError, kAXSuccess);
         EXPECT_EQ(node.extents.width, 80);
       }},
      {"properties one at a time never ask GetAll", failing("GetAll", "org.example.Crashed"), true,
       [](const AccessibleNode& node, const AppTree&, const std::vector<std::string>& calls) {
         EXPECT_EQ(count(calls, "GetAll"), 0u);
         EXPECT_EQ(node.accessibleError, kAXSuccess);
         EXPECT_EQ(node.name, "Save");
         EXPECT_EQ(node.childCount, 0);
       }},
      {"Qt lists the names its actions go by", withAction, true,
       [](const AccessibleNode& node, const AppTree&, const std::vector<std::string>& calls) {
         EXPECT_EQ(node.actions, std::vector<std::string>{"Press"});
         EXPECT_EQ(count(calls, "GetName"), 0u);
       }},
      {"other toolkits are asked each action's name", withAction, false,
       [](const AccessibleNode& node, const AppTree&, const auto&) {
         EXPECT_EQ(node.actions, std::vector<std::string>{"click"});
       }},
      {"Qt is not asked a parent the walk knows", ordinary, true,
       [](const AccessibleNode& node, const AppTree&, const std::vector<std::string>& calls) {
         EXPECT_EQ(node.parent, (ObjectRef{kBus, kWindow}));
         EXPECT_EQ(count(calls, "Get Parent"), 1u);  // the window's
       },
       true},
      {"Qt is asked the parent of an object reached otherwise", ordinary, true,
       [](const AccessibleNode& node, const AppTree&, const std::vector<std::string>& calls) {
         EXPECT_EQ(node.parent, (ObjectRef{kBus, kRoot}));
         EXPECT_EQ(count(calls, "Get Parent"), 1u);
       }},
      {"the toolkit's own parent wins over the walk's", ordinary, false,
       [](const AccessibleNode& node, const AppTree&, const auto&) {
         EXPECT_EQ(node.parent, (ObjectRef{kBus, kRoot}));
       },
       true},
      {"Qt is asked for text only within its length", textField(5), true,
       [](const AccessibleNode& node, const AppTree&, const auto&) {
         EXPECT_EQ(node.valueError, kAXSuccess);
         EXPECT_EQ(node.value, (std::variant<std::monostate, std::string, double>("hello")));
       }},
      {"Qt's empty text needs no second call", textField(0), true,
       [](const AccessibleNode& node, const AppTree&, const std::vector<std::string>& calls) {
         EXPECT_EQ(node.valueError, kAXSuccess);
         EXPECT_EQ(node.value, (std::variant<std::monostate, std::string, double>("")));
         EXPECT_EQ(count(calls, "GetText"), 0u);
       }},
      {"Qt's text of a length it does not give is left out", textField(-1), true,
       [](const AccessibleNode& node, const AppTree&, const auto&) {
         EXPECT_NE(node.valueError, kAXSuccess);
       }},
      {"a property the toolkit lacks is only left out",
       except("Get",
              [](sd_bus_message* call, const std::string&) {
                const char *interface = nullptr, *property = nullptr;
                sd_bus_message_read(call, "ss", &interface, &property);
                const bool lacking = property && std::string(property) == "Description";
                sd_bus_message_rewind(call, 1);
                return lacking ? sd_bus_reply_method_errorf(
                                     call, "org.freedesktop.DBus.Error.UnknownProperty", "none")
                               : ordinary(call, "Get");
              }),
       true,
       [](const AccessibleNode& node, const AppTree&, const auto&) {
         EXPECT_EQ(node.accessibleError, kAXSuccess);
         EXPECT_EQ(node.name, "Save");
       }},
      {"listed in the bulk read",
       except("GetItems",
              [](sd_bus_message* call, const std::string&) {
                const char* root = "/org/a11y/atspi/accessible/root";
                return sd_bus_reply_method_return(
                    call, "a((so)(so)(so)iiassusau)", 1, kBus, kButton, kBus, root, kBus, root, 0,
                    0, 1, "org.a11y.atspi.Component", "Listed", kRolePushButton, "", 2, 0U, 0U);
              }),
       false,
       [](const AccessibleNode& node, const AppTree&, const std::vector<std::string>& calls) {
         EXPECT_EQ(node.name, "Listed");
         EXPECT_EQ(node.role, kRolePushButton);
         EXPECT_EQ(node.extentsError, kAXSuccess);
         for (const char* replaced : {"GetAll", "GetRole", "GetState", "GetInterfaces"}) {
           EXPECT_EQ(count(calls, replaced), 0u) << replaced;
         }
         EXPECT_EQ(count(calls, "GetChildren"), 1u);
       }},
      {"extents of a negative size", extents(10, 20, -80, 30), false,
       [](const AccessibleNode& node, const AppTree&, const auto&) {
         EXPECT_EQ(node.extentsError, kAXErrorNoValue);
       }},
      {"extents at INT_MIN", extents(INT32_MIN, INT32_MIN, 80, 30), false,
       [](const AccessibleNode& node, const AppTree&, const auto&) {
         EXPECT_EQ(node.extentsError, kAXErrorNoValue);
       }},
      {"vanished after its properties",
       failing("GetRole", "org.freedesktop.DBus.Error.UnknownObject"), false,
       [](const AccessibleNode& node, const AppTree& tree, const auto&) {
         EXPECT_EQ(node.roleError, desktop::kAXErrorInvalidUIElement);
         EXPECT_NE(node.valueError, kAXSuccess);
         EXPECT_FALSE(tree.unresponsive());
       }},
      {"role of the wrong type",
       except("GetRole",
              [](sd_bus_message* call, const std::string&) {
                return sd_bus_reply_method_return(call, "s", "button");
              }),
       false,
       [](const AccessibleNode& node, const AppTree&, const auto&) {
         EXPECT_NE(node.roleError, kAXSuccess);
         EXPECT_EQ(node.role, 0u);
       }},
      {"a reply that never comes", silent("GetState"), false,
       [](const AccessibleNode& node, const AppTree& tree, const auto&) {
         EXPECT_NE(node.stateError, kAXSuccess);
         EXPECT_TRUE(tree.unresponsive());
       }},
  };
  for (const OddCase& each : cases) {
    SCOPED_TRACE(each.name);
    Toolkit toolkit(each.answer);
    AppTree tree(toolkit.channel(), kBus, 300ms);
    if (each.qt) {
      tree.readLikeQt();
    } else {
      tree.readInBulk();  // answered UnknownMethod unless the case lists the object
    }
    if (each.throughWindow) {
      tree.demand(kWindow);
    }
    const AccessibleNode& node = each.throughWindow ? tree.demand(kButton) : tree.fetch(kButton);
    each.check(node, tree, toolkit.calls());
  }
}

}  // namespace
}  // namespace qor::platform
