// Placeholder until this method group is built; it answers "operationFailed" meanwhile.
#include "bridge/native_runtime.h"

namespace qor {
namespace {
[[noreturn]] void notBuilt() { throw std::runtime_error("This method is not available yet"); }
}  // namespace

Json NativeRuntime::listApplications(const Json&) { notBuilt(); }
}  // namespace qor
