#include "bridge/operation_registry.h"

#include <cassert>

namespace qor {

std::shared_ptr<runtime::CancellationState> OperationRegistry::add(const std::string& operation) {
  auto cancellation = std::make_shared<runtime::CancellationState>();
  if (!operations_.emplace(operation, cancellation).second) {
    return nullptr;
  }
  return cancellation;
}

void OperationRegistry::remove(const std::string& operation) {
  operations_.erase(operation);
}

bool OperationRegistry::cancel(const std::string& operation) {
  auto found = operations_.find(operation);
  if (found == operations_.end()) {
    return false;
  }
  found->second->requestCancel();
  return true;
}

std::size_t OperationRegistry::cancelAll() {
  for (auto& [name, cancellation] : operations_) {
    cancellation->requestCancel();
  }
  return operations_.size();
}

void OperationRegistry::holdInput(const std::string& operation) {
  assert(!busyOperation_);
  busyOperation_ = operation;
}

void OperationRegistry::releaseInput() {
  busyOperation_.reset();
}

}  // namespace qor
