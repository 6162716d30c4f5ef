// The monitor of the user's own input. It counts every watched event that does not carry the
// bridge's marker into `inputEpoch`; a batch stops when the count has moved since it began.

#include <memory>

#include "bridge/native_runtime.h"

namespace qor {

void NativeRuntime::ensureInputMonitor() {
  if (inputMonitor) {
    return;
  }
  std::weak_ptr<NativeRuntime*> runtime = liveness_;
  // A refusal leaves `inputMonitor` absent: this batch runs without a monitor and the next one
  // tries again.
  inputMonitor = desktop_.addGlobalMonitor([runtime](const desktop::MonitoredEvent& event) {
    std::shared_ptr<NativeRuntime*> alive = runtime.lock();
    if (!alive) {
      return;
    }
    if (event.sourceUserData != eventMarker) {
      ++(*alive)->inputEpoch;  // unsigned: wraps at 2^64
    }
  });
}

}  // namespace qor
