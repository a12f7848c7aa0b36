// A lock-free count: taking is a compare-and-swap that never goes below zero.
#include "thread_budget.h"

namespace vxpatch {

ThreadBudget::ThreadBudget(unsigned free_threads) : free_(free_threads) {}

bool ThreadBudget::TryTake() {
  unsigned free = free_.load();
  while (free > 0) {
    if (free_.compare_exchange_weak(free, free - 1)) return true;
  }
  return false;
}

void ThreadBudget::Give() { ++free_; }

}  // namespace vxpatch
