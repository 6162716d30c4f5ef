#include "mcp/tools.h"

namespace qor::mcp {
namespace {

// What every tool's description ends with: the rules the model meets whatever it calls.
constexpr const char* kRules =
    " Rules: observe (or capture) before acting; an observation lasts 120 seconds (a capture's "
    "30) and serves exactly one act call, after which you observe again. The user may take over "
    "at any moment: a batch then stops, and you observe again before going on. Clicks, keys and "
    "typing need the application in front (act with focus: true brings it there). Passwords are "
    "never typed or set. A refusal comes back as an error result whose message says what to do "
    "next.";

Json schema(const char* text) {
  return Json::parse(text);
}

std::string describe(const char* what) {
  return std::string(what) + kRules;
}

const char* const kBundleOnly = R"({
  "type": "object",
  "properties": {"bundleId": {"type": "string", "minLength": 1,
    "description": "The application id, as list_apps reports it, e.g. dev.qor.Fixture"}},
  "required": ["bundleId"]
})";

// A window record leaves out nothing it could not read, so its keys may hold null.
const char* const kWindowList = R"(
    "windows": {"type": "array", "items": {"type": "object", "properties": {
      "windowId": {"type": ["integer", "null"]}, "title": {"type": ["string", "null"]},
      "frame": {"anyOf": [{"$ref": "#/$defs/frame"}, {"type": "null"}]}}}})";

const char* const kFrameDefinition = R"(
  "$defs": {"frame": {"type": "object", "description": "Screen points, origin top-left",
    "properties": {"x": {"type": "number"}, "y": {"type": "number"},
                   "width": {"type": "number"}, "height": {"type": "number"}}}})";

Json appSchema(const char* properties) {
  return schema((std::string(R"({"type": "object", "properties": {)") + properties + "}}").c_str());
}

Json listAppsInput() {
  return schema(R"({
  "type": "object",
  "properties": {
    "bundleIds": {"type": "array", "items": {"type": "string"},
      "description": "Application ids to look up as well, though neither installed where the list looks nor running"},
    "includeIcons": {"type": "boolean", "description": "Add each application's icon as a PNG data URL"}
  }
})");
}

Json listAppsOutput() {
  return schema(R"({
  "type": "object",
  "properties": {"applications": {"type": "array", "items": {"type": "object", "properties": {
    "bundleId": {"type": "string"}, "name": {"type": "string"}, "path": {"type": "string"},
    "running": {"type": "boolean"}, "active": {"type": "boolean"}, "pid": {"type": "integer"}}}}},
  "required": ["applications"]
})");
}

Json launchInput() {
  return schema(R"({
  "type": "object",
  "properties": {
    "bundleId": {"type": "string", "minLength": 1, "description": "The application id to start"},
    "activate": {"type": "boolean", "description": "Bring it to the front; default true"}
  },
  "required": ["bundleId"]
})");
}

Json permissionsInput() {
  return schema(R"({
  "type": "object",
  "properties": {"bundleId": {"type": "string",
    "description": "Also report whether application events may be sent to this application"}}
})");
}

Json requestPermissionInput() {
  return schema(R"({
  "type": "object",
  "properties": {
    "permission": {"type": "string", "enum": ["accessibility", "screenCapture", "automation"]},
    "bundleId": {"type": "string", "minLength": 1, "description": "Required for automation"}
  },
  "required": ["permission"]
})");
}

Json permissionsOutput() {
  return schema(R"({
  "type": "object",
  "properties": {
    "accessibility": {"type": "boolean"}, "screenCapture": {"type": "boolean"},
    "automation": {"type": "object", "properties": {"bundleId": {"type": "string"},
      "granted": {"type": "boolean"}, "status": {"type": "integer"},
      "needsRequest": {"type": "boolean"}}}
  },
  "required": ["accessibility", "screenCapture"]
})");
}

Json observeInput() {
  return schema(R"({
  "type": "object",
  "properties": {
    "bundleId": {"type": "string", "minLength": 1, "description": "The application id"},
    "windowId": {"type": ["integer", "null"], "minimum": 1, "maximum": 4294967295,
      "description": "A window number from an earlier result's windows; the front window when left out"},
    "maxNodes": {"type": "integer", "minimum": 1, "maximum": 2000, "description": "Element budget, default 500"},
    "maxDepth": {"type": "integer", "minimum": 1, "maximum": 30, "description": "Deepest level, default 12"}
  },
  "required": ["bundleId"]
})");
}

Json observeOutput() {
  return schema((std::string(R"({
  "type": "object",
  "properties": {
    "observationId": {"type": "string"}, "bundleId": {"type": "string"}, "pid": {"type": "integer"},
    "windowId": {"type": ["integer", "null"]}, "nodeCount": {"type": "integer"},
    "truncated": {"type": "boolean"}, "expiresAt": {"type": "string"},
    "tree": {"type": "array", "items": {"type": "object"},
      "description": "Element nodes: ref, role, title, value, frame, actions, children"},)") +
                 kWindowList + "},\n" + R"("required": ["observationId", "tree"],)" +
                 kFrameDefinition + "}")
                    .c_str());
}

// One action type: its "type" constant, the fields it takes and those it needs.
std::string actionForm(const char* type, const char* fields, const char* required) {
  return std::string(R"({"type": "object", "properties": {"type": {"const": ")") + type + "\"}" +
         fields + R"(}, "required": ["type")" + required + "]}";
}

Json actInput() {
  const char* point = R"(,
      "x": {"type": "number"}, "y": {"type": "number"},
      "coordinateSpace": {"type": "string", "enum": ["windowPoints", "imagePixels"],
        "description": "windowPoints (default): points from the observed window's top-left corner; imagePixels: pixels of the image of a capture, with that capture's observationId"})";
  std::string forms =
      "[" +
      actionForm("ax", R"(, "ref": {"type": "string", "minLength": 1},
      "action": {"type": "string", "minLength": 1, "description": "An action name the element lists, e.g. AXPress"})",
                 R"(, "ref", "action")") +
      ",\n" +
      actionForm("setValue",
                 R"(, "ref": {"type": "string", "minLength": 1}, "value": {"type": "string"})",
                 R"(, "ref", "value")") +
      ",\n" +
      actionForm("click",
                 (std::string(point) + R"(,
      "button": {"type": "string", "enum": ["left", "right"]},
      "clickCount": {"type": "integer", "minimum": 1, "maximum": 2})")
                     .c_str(),
                 R"(, "x", "y")") +
      ",\n" +
      actionForm(
          "type",
          R"(, "text": {"type": "string", "minLength": 1, "description": "At most 100,000 UTF-16 units"})",
          R"(, "text")") +
      ",\n" +
      actionForm(
          "key",
          R"(, "key": {"type": ["string", "integer"], "description": "A key name (return, tab, escape, a, f5, ...) or a key code 0 to 127"},
      "modifiers": {"type": "array", "items": {"type": "string"}, "description": "command, shift, option, control, function"})",
          R"(, "key")") +
      ",\n" +
      actionForm(
          "scroll",
          (std::string(R"(, "deltaX": {"type": "number", "minimum": -10000, "maximum": 10000},
      "deltaY": {"type": "number", "minimum": -10000, "maximum": 10000})") +
           point)
              .c_str(),
          R"(, "deltaX", "deltaY")") +
      ",\n" +
      actionForm("wait", R"(, "milliseconds": {"type": "integer", "minimum": 0, "maximum": 5000})",
                 "") +
      "]";
  return schema((std::string(R"({
  "type": "object",
  "properties": {
    "bundleId": {"type": "string", "minLength": 1, "description": "The application observed"},
    "observationId": {"type": "string", "minLength": 1, "description": "From observe or capture"},
    "focus": {"type": "boolean", "description": "Bring the application to the front first"},
    "actions": {"type": "array", "minItems": 1, "maxItems": 100, "items": {"oneOf": )") +
                 forms + R"(}}
  },
  "required": ["bundleId", "observationId", "actions"]
})")
                    .c_str());
}

Json actOutput() {
  return schema(R"({
  "type": "object",
  "properties": {
    "operationId": {"type": "string"}, "bundleId": {"type": "string"}, "pid": {"type": "integer"},
    "actions": {"type": "array", "items": {"type": "object", "properties": {
      "index": {"type": "integer"}, "type": {"type": "string"}, "status": {"type": "string"}}}},
    "requiresObservation": {"type": "boolean"}
  },
  "required": ["actions", "requiresObservation"]
})");
}

Json captureInput() {
  return schema(R"({
  "type": "object",
  "properties": {
    "bundleId": {"type": "string", "minLength": 1, "description": "The application id"},
    "windowId": {"type": ["integer", "null"], "minimum": 1, "maximum": 4294967295},
    "maxPixels": {"type": "integer", "minimum": 16, "maximum": 16384,
      "description": "Longest side of the image you receive; larger captures are scaled down, and imagePixels coordinates refer to the image you received"}
  },
  "required": ["bundleId"]
})");
}

Json captureOutput() {
  return schema((std::string(R"({
  "type": "object",
  "properties": {
    "observationId": {"type": "string"}, "bundleId": {"type": "string"}, "pid": {"type": "integer"},
    "windowId": {"type": "integer"}, "path": {"type": "string"}, "mimeType": {"type": "string"},
    "width": {"type": "integer"}, "height": {"type": "integer"},
    "scaleX": {"type": "number", "description": "Image pixels per window point"},
    "scaleY": {"type": "number"}, "expiresAt": {"type": "string"},
    "frame": {"$ref": "#/$defs/frame"}
  },
  "required": ["observationId", "width", "height"],)") +
                 kFrameDefinition + "}")
                    .c_str());
}

Json releaseInput() {
  return schema(R"({
  "type": "object",
  "properties": {"path": {"type": "string", "minLength": 1, "description": "The path a capture returned"}},
  "required": ["path"]
})");
}

Json appEventInput() {
  return schema(R"({
  "type": "object",
  "properties": {
    "bundleId": {"type": "string", "minLength": 1},
    "eventClass": {"type": "string", "minLength": 4, "description": "Four-character code, e.g. aevt"},
    "eventId": {"type": "string", "minLength": 4, "description": "Four-character code, e.g. odoc"},
    "parameters": {"type": "object", "description": "Four-character keyword to typed descriptor, e.g. {\"----\": {\"type\": \"text\", \"value\": \"...\"}}"},
    "timeoutSeconds": {"type": "integer", "minimum": 1, "maximum": 15}
  },
  "required": ["bundleId", "eventClass", "eventId"]
})");
}

Json openDocumentsInput() {
  return schema(R"({
  "type": "object",
  "properties": {
    "bundleId": {"type": "string", "minLength": 1, "description": "An installed application id"},
    "paths": {"type": "array", "minItems": 1, "maxItems": 50, "items": {"type": "string", "minLength": 1},
      "description": "Absolute paths of existing documents"},
    "activate": {"type": "boolean", "description": "Bring it to the front; default true"}
  },
  "required": ["bundleId", "paths"]
})");
}

std::vector<Tool> makeTools() {
  std::vector<Tool> all;
  all.push_back({"list_apps", "apps.list",
                 describe("Lists the applications installed and running, with their application "
                          "ids (bundleId), which every other tool takes."),
                 listAppsInput(), listAppsOutput()});
  all.push_back({"launch_app", "apps.launch",
                 describe("Starts an installed application and waits until it shows itself."),
                 launchInput(),
                 appSchema(R"("bundleId": {"type": "string"}, "pid": {"type": "integer"},
                              "running": {"type": "boolean"})"),
                 Presentation::json, true});
  all.push_back({"focus_app", "apps.focus", describe("Brings a running application to the front."),
                 schema(kBundleOnly),
                 appSchema(R"("bundleId": {"type": "string"}, "pid": {"type": "integer"},
                              "focused": {"type": "boolean"})")});
  all.push_back({"permissions_status", "permissions.status",
                 describe("Tells which permissions the bridge holds: reading and driving "
                          "applications (accessibility), window images (screenCapture) and, for "
                          "one application, application events (automation)."),
                 permissionsInput(), permissionsOutput()});
  all.push_back({"request_permission", "permissions.request",
                 describe("Asks the system to grant one permission; the user decides, so check "
                          "permissions_status again later."),
                 requestPermissionInput(), permissionsOutput()});
  all.push_back(
      {"observe", "app.observe",
       describe("Reads the front window (or windowId) of an application as a tree of "
                "elements. You get one line per element: its reference (e12), role, "
                "title or value, frame [x,y width x height in screen points] and actions; "
                "the window's own frame comes first. Use the references and the "
                "observationId with act. Passwords are shown as (secure), never their "
                "text."),
       observeInput(), observeOutput(), Presentation::outline});
  all.push_back({"act", "app.act",
                 describe("Runs 1 to 100 actions, in order, on the window of one observation. "
                          "Types: ax (an element action by ref, e.g. AXPress), setValue (write a "
                          "text field by ref), click (x, y in windowPoints from the window's "
                          "top-left corner, or imagePixels of a capture), type (text into the "
                          "focused element), key (a key name with modifiers), scroll (deltaX, "
                          "deltaY, optionally at x, y), wait (milliseconds). The observation is "
                          "used up afterwards, whatever happens: observe again to see the "
                          "outcome."),
                 actInput(), actOutput(), Presentation::json, true});
  all.push_back({"capture", "window.capture",
                 describe("Takes a picture of the front window (or windowId) of an application. "
                          "The result's observationId lets act click at imagePixels coordinates "
                          "of this very image for 30 seconds. Use it when observe finds no "
                          "usable elements. Release it with release_capture when done."),
                 captureInput(), captureOutput(), Presentation::image});
  all.push_back({"release_capture", "capture.release",
                 describe("Deletes a capture's image file made by capture."), releaseInput(),
                 appSchema(R"("released": {"type": "boolean"})")});
  all.push_back({"send_app_event", "app.appleEvent",
                 describe("Sends an application event (class and id as four-character codes, "
                          "e.g. aevt/quit) to a running application and returns its decoded "
                          "reply."),
                 appEventInput(),
                 appSchema(R"("bundleId": {"type": "string"}, "pid": {"type": "integer"},
                              "reply": {})")});
  all.push_back({"open_documents", "app.openDocuments",
                 describe("Opens 1 to 50 existing documents (absolute paths) in an installed "
                          "application."),
                 openDocumentsInput(),
                 appSchema(R"("bundleId": {"type": "string"}, "pid": {"type": "integer"},
                              "openedPaths": {"type": "array", "items": {"type": "string"}})"),
                 Presentation::json, true});
  return all;
}

}  // namespace

const std::vector<Tool>& tools() {
  static const std::vector<Tool> all = makeTools();
  return all;
}

const Tool* findTool(std::string_view name) {
  for (const Tool& tool : tools()) {
    if (tool.name == name) {
      return &tool;
    }
  }
  return nullptr;
}

Json toolListing(const Tool& tool, bool withOutputSchema) {
  Json listing{
      {"name", tool.name}, {"description", tool.description}, {"inputSchema", tool.inputSchema}};
  if (withOutputSchema && tool.outputSchema) {
    listing["outputSchema"] = *tool.outputSchema;
  }
  return listing;
}

}  // namespace qor::mcp
