// Placeholder until this method group is built; it answers "operationFailed" meanwhile.
#include "bridge/native_runtime.h"

namespace qor {
namespace {
[[noreturn]] void notBuilt() { throw std::runtime_error("This method is not available yet"); }
}  // namespace

std::pair<desktop::RunningApplication, Observation> NativeRuntime::validatedObservation(const Json&) { notBuilt(); }
desktop::ElementRef NativeRuntime::element(const Json&, const Observation&) { notBuilt(); }
void NativeRuntime::pruneObservations() {}
}  // namespace qor
