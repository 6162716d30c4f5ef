// Placeholder until this method group is built; it answers "operationFailed" meanwhile.
#include "bridge/native_runtime.h"

namespace qor {
namespace {
[[noreturn]] void notBuilt() { throw std::runtime_error("This method is not available yet"); }
}  // namespace

runtime::Task<Json> NativeRuntime::act(const Json&, const std::string&) { notBuilt(); co_return Json{}; }
void NativeRuntime::requireForeground(const desktop::RunningApplication&, const Observation&) { notBuilt(); }
void NativeRuntime::ensureInputMonitor() {}
}  // namespace qor
