#pragma once
// The operations that have been accepted and not yet answered, each with its cancellation mark,
// and the one operation that holds the input (a single action batch runs at a time). Main
// thread only.

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "runtime/task.h"

namespace qor {

class OperationRegistry {
 public:
  // Registers `operation` with a fresh cancellation mark; nullptr when that id is already
  // registered, which leaves the registered one alone.
  std::shared_ptr<runtime::CancellationState> add(const std::string& operation);
  // The operation has answered: its id is free again.
  void remove(const std::string& operation);

  // Marks `operation` cancelled; false when no such operation is registered.
  bool cancel(const std::string& operation);
  // Marks every registered operation cancelled and returns how many there were.
  std::size_t cancelAll();

  bool contains(const std::string& operation) const { return operations_.contains(operation); }
  std::size_t size() const { return operations_.size(); }
  bool empty() const { return operations_.empty(); }

  // The operation whose batch holds the input, if any.
  const std::optional<std::string>& busyOperation() const { return busyOperation_; }
  // REQUIRES: no operation holds the input.
  void holdInput(const std::string& operation);
  void releaseInput();

 private:
  std::map<std::string, std::shared_ptr<runtime::CancellationState>> operations_;
  std::optional<std::string> busyOperation_;
};

}  // namespace qor
