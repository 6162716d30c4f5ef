// Placeholder until this method group is built; it answers "operationFailed" meanwhile.
#include "bridge/native_runtime.h"

namespace qor {
namespace {
[[noreturn]] void notBuilt() { throw std::runtime_error("This method is not available yet"); }
}  // namespace

Json NativeRuntime::permissionStatus(const Json&) { notBuilt(); }
Json NativeRuntime::requestPermission(const Json&) { notBuilt(); }
Json NativeRuntime::automationPermission(const std::string&, bool) { notBuilt(); }
}  // namespace qor
