// The MCP translation in process: a client's messages in, the bridge on the simulated desktop
// behind it, and what the client gets back.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "bridge/support/sim_fixtures.h"
#include "core/png.h"
#include "mcp/support/mcp_harness.h"
#include "mcp/tools.h"

namespace qor::testing {
namespace {

using namespace std::chrono_literals;
using Editor = EditorFixture;

class McpServerTest : public ::testing::Test {
 protected:
  McpServerTest() : editor(addEditor(h.desktop)) {}

  Json observe() {
    Json response = h.callTool("observe", {{"bundleId", Editor::kBundle}});
    EXPECT_FALSE(response["result"].value("isError", true)) << response.dump();
    return response["result"];
  }

  Json act(const std::string& observationId, const Json& actions) {
    return h.callTool("act", {{"bundleId", Editor::kBundle},
                              {"observationId", observationId},
                              {"actions", actions}})["result"];
  }

  static std::string refOf(const Json& node, const std::string& role) {
    if (node.value("role", "") == role) {
      return node.value("ref", "");
    }
    for (const Json& child : node.value("children", Json::array())) {
      if (std::string found = refOf(child, role); !found.empty()) {
        return found;
      }
    }
    return "";
  }

  McpHarness h;
  Editor editor;
};

// Every way a message can be wrong ends in a JSON-RPC error with the right code and id, and the
// server goes on answering.
TEST_F(McpServerTest, MalformedMessagesGetJsonRpcErrors) {
  struct Case {
    const char* what;
    std::string line;
    int code;
    Json id;
  };
  const std::vector<Case> beforeInitialize = {
      {"not JSON", "{\"jsonrpc\": \"2.0\", \"id\": 1,", -32700, nullptr},
      {"empty line", "", -32700, nullptr},
      {"a batch", R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", -32600, nullptr},
      {"a scalar", "42", -32700, nullptr},
      {"too long", std::string(mcp::kLongestMessage + 1, ' '), -32600, nullptr},
      {"no jsonrpc", R"({"id":3,"method":"ping"})", -32600, 3},
      {"boolean id", R"({"jsonrpc":"2.0","id":true,"method":"ping"})", -32600, nullptr},
      {"before initialize", R"({"jsonrpc":"2.0","id":"a","method":"tools/list"})", -32002, "a"},
  };
  const std::vector<Case> afterInitialize = {
      {"unknown method", R"({"jsonrpc":"2.0","id":7,"method":"resources/list"})", -32601, 7},
      {"unknown tool", R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"name":"rm"}})",
       -32602, 8},
      {"arguments not an object",
       R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"observe","arguments":[1]}})",
       -32602, 9},
  };
  auto run = [this](const std::vector<Case>& cases) {
    for (const Case& each : cases) {
      h.sendLine(each.line);
      std::vector<Json> messages = h.take();
      ASSERT_EQ(messages.size(), 1u) << each.what;
      EXPECT_EQ(messages[0]["error"]["code"], each.code) << each.what;
      EXPECT_EQ(messages[0]["id"], each.id) << each.what;
      EXPECT_EQ(messages[0]["jsonrpc"], "2.0") << each.what;
    }
  };
  run(beforeInitialize);
  EXPECT_EQ(h.request("ping")["result"], Json::object()) << "ping needs no initialize";
  h.initialize();
  run(afterInitialize);
  EXPECT_EQ(h.bridge.starts, 0) << "nothing reached the bridge";
}

// Arguments that do not match a tool's schema never reach the bridge.
TEST_F(McpServerTest, ArgumentsOutsideTheSchemaAreInvalidParams) {
  h.initialize();
  const Json click{{"type", "click"}, {"x", 1}, {"y", 2}};
  const std::vector<std::pair<std::string, Json>> cases = {
      {"observe", Json::object()},
      {"observe", {{"bundleId", ""}}},
      {"observe", {{"bundleId", "a"}, {"maxNodes", 0}}},
      {"observe", {{"bundleId", "a"}, {"maxDepth", 31}}},
      {"observe", {{"bundleId", "a"}, {"windowId", "front"}}},
      {"act", {{"bundleId", "a"}, {"observationId", "o"}, {"actions", Json::array()}}},
      {"act",
       {{"bundleId", "a"},
        {"observationId", "o"},
        {"actions", Json::array({{{"type", "click"}, {"x", 1}}})}}},
      {"act",
       {{"bundleId", "a"}, {"observationId", "o"}, {"actions", Json::array({{{"type", "drag"}}})}}},
      {"act",
       {{"bundleId", "a"},
        {"observationId", "o"},
        {"actions",
         Json::array(
             {{{"type", "click"}, {"x", 1}, {"y", 2}, {"coordinateSpace", "screenPoints"}}})}}},
      {"act",
       {{"bundleId", "a"},
        {"observationId", "o"},
        {"actions", Json::array({{{"type", "wait"}, {"milliseconds", 5001}}})}}},
      {"act",
       {{"bundleId", "a"},
        {"observationId", "o"},
        {"actions", Json(std::vector<Json>(101, click))}}},
      {"act",
       {{"bundleId", "a"},
        {"observationId", "o"},
        {"actions", Json::array({{{"type", "scroll"}, {"deltaX", 0}, {"deltaY", 10001}}})}}},
      {"capture", {{"bundleId", "a"}, {"maxPixels", 4}}},
      {"open_documents", {{"bundleId", "a"}, {"paths", Json::array()}}},
      {"request_permission", {{"permission", "camera"}}},
      {"release_capture", Json::object()},
      {"send_app_event", {{"bundleId", "a"}, {"eventClass", "aevt"}}},
  };
  for (const auto& [tool, arguments] : cases) {
    const Json id = h.startTool(tool, arguments);
    std::vector<Json> answers = h.answersTo(id);
    ASSERT_EQ(answers.size(), 1u) << tool << " " << arguments.dump();
    EXPECT_EQ(answers[0]["error"]["code"], -32602) << tool << " " << arguments.dump();
  }
  EXPECT_EQ(h.bridge.starts, 0);
}

// The server answers with the client's revision when it speaks it and with its newest otherwise;
// structured content and output schemas appear only from the revision that has them.
TEST_F(McpServerTest, NegotiatesTheRevisionAndShapesResultsForIt) {
  struct Case {
    std::string asked;
    std::string answered;
    bool structured;
  };
  const std::vector<Case> cases = {
      {"2025-11-25", "2025-11-25", true},  {"2025-06-18", "2025-06-18", true},
      {"2025-03-26", "2025-03-26", false}, {"2024-11-05", "2024-11-05", false},
      {"2023-01-01", "2025-11-25", true},  {"2099-12-31", "2025-11-25", true}};
  for (const Case& each : cases) {
    McpHarness fresh;
    addEditor(fresh.desktop);
    Json initialized = fresh.initialize(each.asked)["result"];
    EXPECT_EQ(initialized["protocolVersion"], each.answered) << each.asked;
    EXPECT_EQ(initialized["serverInfo"]["name"], "qor-mcp");
    EXPECT_TRUE(initialized["capabilities"].contains("tools"));
    Json listed = fresh.request("tools/list")["result"]["tools"];
    ASSERT_EQ(listed.size(), mcp::tools().size());
    for (const Json& tool : listed) {
      EXPECT_EQ(tool["inputSchema"]["type"], "object") << tool["name"];
      EXPECT_EQ(tool.contains("outputSchema"), each.structured) << tool["name"];
    }
    Json observed = fresh.callTool("observe", {{"bundleId", Editor::kBundle}})["result"];
    EXPECT_EQ(observed.contains("structuredContent"), each.structured) << each.asked;
    // Without structured content the whole result still reaches the client, as JSON text.
    const Json& content = observed["content"];
    EXPECT_EQ(content.size(), each.structured ? 1u : 2u) << each.asked;
    if (!each.structured) {
      EXPECT_TRUE(Json::parse(content[1]["text"].get<std::string>()).contains("observationId"));
    }
  }
}

// Observe gives the model an outline; the references in it drive act; observing again shows the
// change. A password field shows no text.
TEST_F(McpServerTest, ObserveActObserve) {
  h.initialize();
  Json first = observe();
  const std::string text = firstText(first);
  EXPECT_NE(text.find("e1 AXWindow \"Untitled\" [100,100 800x600] actions: AXRaise"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\n  e2 AXTextArea"), std::string::npos) << "children are indented: " << text;
  EXPECT_NE(text.find("(secure)"), std::string::npos);
  EXPECT_EQ(text.find("secret"), std::string::npos) << "a password never appears";
  const Json& observation = first["structuredContent"];
  const std::string textArea = refOf(observation["tree"][0], "AXTextArea");
  Json acted = act(observation["observationId"],
                   Json::array({{{"type", "setValue"}, {"ref", textArea}, {"value", "Changed"}}}));
  EXPECT_FALSE(acted["isError"]) << acted.dump();
  EXPECT_TRUE(acted["structuredContent"]["requiresObservation"]);
  EXPECT_NE(firstText(observe()).find("= \"Changed\""), std::string::npos);
}

// The bridge's refusals reach the model as tool results with isError, holding the code, the
// message and the details: nothing the server does lets a refused call through.
TEST_F(McpServerTest, RefusalsBecomeErrorResults) {
  h.initialize();
  struct Case {
    const char* what;
    std::string tool;
    std::function<Json(const Json& observation)> arguments;
    std::string code;
  };
  const std::vector<Case> cases = {
      {"stale observation", "act",
       [](const Json&) {
         return Json{{"bundleId", Editor::kBundle},
                     {"observationId", "00000000-0000-0000-0000-000000000000"},
                     {"actions", Json::array({{{"type", "wait"}}})}};
       },
       "staleObservation"},
      {"password field", "act",
       [](const Json& observation) {
         return Json{
             {"bundleId", Editor::kBundle},
             {"observationId", observation["observationId"]},
             {"actions", Json::array({{{"type", "setValue"},
                                       {"ref", refOf(observation["tree"][0], "AXTextField")},
                                       {"value", "x"}}})}};
       },
       "userInputRequired"},
      {"unknown application", "focus_app",
       [](const Json&) {
         return Json{{"bundleId", "com.example.none"}};
       },
       "applicationNotRunning"},
      {"foreign capture path", "release_capture",
       [](const Json&) {
         return Json{{"path", "/etc/passwd"}};
       },
       "invalidArgument"},
  };
  for (const Case& each : cases) {
    const Json observation = observe()["structuredContent"];
    Json result = h.callTool(each.tool, each.arguments(observation))["result"];
    EXPECT_TRUE(result["isError"]) << each.what;
    EXPECT_FALSE(result.contains("structuredContent")) << each.what;
    const std::string text = firstText(result);
    const Json failure = Json::parse(text.substr(text.find('\n') + 1))["error"];
    EXPECT_EQ(failure["code"], each.code) << each.what << ": " << text;
    EXPECT_TRUE(failure.contains("details")) << each.what;
    EXPECT_EQ(text.substr(0, text.find('\n')), failure["message"]) << "the message comes first";
  }
}

// A call with a progress token hears that it still runs; a cancellation stops the bridge's
// batch (the bridge is free for the next one at once) and the cancelled call gets no answer.
TEST_F(McpServerTest, ProgressAndCancellationOfALongBatch) {
  h.initialize();
  const Json observation = observe()["structuredContent"];
  const Json id = h.startTool(
      "act",
      {{"bundleId", Editor::kBundle},
       {"observationId", observation["observationId"]},
       {"actions", Json(std::vector<Json>(10, {{"type", "wait"}, {"milliseconds", 5000}}))}},
      {{"progressToken", "p1"}});
  h.advance(600ms);
  std::vector<int> progress;
  for (const Json& message : h.take()) {
    ASSERT_FALSE(message.contains("id")) << "no answer yet: " << message.dump();
    EXPECT_EQ(message["method"], "notifications/progress");
    EXPECT_EQ(message["params"]["progressToken"], "p1");
    progress.push_back(message["params"]["progress"].get<int>());
  }
  EXPECT_EQ(progress, (std::vector<int>{1, 2, 3}));

  h.send({{"jsonrpc", "2.0"},
          {"method", "notifications/cancelled"},
          {"params", {{"requestId", id}, {"reason", "user"}}}});
  h.advance(1s);
  EXPECT_TRUE(h.take().empty()) << "neither an answer nor more progress";
  EXPECT_EQ(h.bridge.requests.back()["method"], "operation.cancel");
  EXPECT_EQ(h.server.callsInFlight(), 0u) << "the bridge ended the batch";
  Json next =
      act(observe()["structuredContent"]["observationId"], Json::array({{{"type", "wait"}}}));
  EXPECT_FALSE(next["isError"]) << "the bridge runs no other batch: " << next.dump();
}

// A bridge that goes away ends the call in flight with an error saying so, and the next call
// starts a fresh bridge.
TEST_F(McpServerTest, BridgeExitEndsTheCallAndTheNextCallStartsAFreshOne) {
  h.initialize();
  const Json observation = observe()["structuredContent"];
  const Json id =
      h.startTool("act", {{"bundleId", Editor::kBundle},
                          {"observationId", observation["observationId"]},
                          {"actions", Json::array({{{"type", "wait"}, {"milliseconds", 5000}}})}});
  h.bridge.end("was ended by signal 9 (Killed)");
  std::vector<Json> answers = h.answersTo(id);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_TRUE(answers[0]["result"]["isError"]);
  const std::string text = firstText(answers[0]["result"]);
  EXPECT_NE(text.find("bridgeExited"), std::string::npos) << text;
  EXPECT_NE(text.find("signal 9"), std::string::npos) << text;
  EXPECT_EQ(h.bridge.starts, 1);
  observe();
  EXPECT_EQ(h.bridge.starts, 2);
}

// A capture comes back as a PNG of the size the result gives, scaled down to maxPixels when
// asked; a click in the pixels of the image the model received lands where it meant.
TEST_F(McpServerTest, CaptureImageScaledAndClickedInImagePixels) {
  h.initialize();
  struct Case {
    Json maxPixels;
    std::uint32_t width;
    std::uint32_t height;
  };
  for (const Case& each :
       std::vector<Case>{{nullptr, 800, 600}, {400, 400, 300}, {2000, 800, 600}, {100, 100, 75}}) {
    Json arguments{{"bundleId", Editor::kBundle}};
    if (!each.maxPixels.is_null()) {
      arguments["maxPixels"] = each.maxPixels;
    }
    Json result = h.callTool("capture", arguments)["result"];
    ASSERT_FALSE(result.value("isError", true)) << result.dump();
    const Json& image = result["content"][0];
    EXPECT_EQ(image["type"], "image");
    EXPECT_EQ(image["mimeType"], "image/png");
    const std::string data = image["data"];
    EXPECT_FALSE(data.empty());
    const Json& captured = result["structuredContent"];
    EXPECT_EQ(captured["width"], each.width) << each.maxPixels;
    EXPECT_EQ(captured["height"], each.height) << each.maxPixels;
    EXPECT_DOUBLE_EQ(captured["scaleX"].get<double>(), each.width / 800.0);

    // The image's centre is the window's centre, whatever size the model received.
    h.desktop.log.events.clear();
    Json clicked =
        act(captured["observationId"], Json::array({{{"type", "click"},
                                                     {"x", each.width / 2.0},
                                                     {"y", each.height / 2.0},
                                                     {"coordinateSpace", "imagePixels"}}}));
    ASSERT_FALSE(clicked["isError"]) << clicked.dump();
    ASSERT_FALSE(h.desktop.log.events.empty());
    const auto& down = std::get<desktop::MouseEvent>(h.desktop.log.events.front().event);
    EXPECT_DOUBLE_EQ(down.location.x, 500);
    EXPECT_DOUBLE_EQ(down.location.y, 400);
  }
}

}  // namespace
}  // namespace qor::testing
