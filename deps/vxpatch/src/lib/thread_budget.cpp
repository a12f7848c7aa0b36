// A lock-free count: taking is a compare-and-swap that never goes below zero.
// A helper thread is joined before anything leaves RunBeside, exceptions too.
#include "vxpatch/thread_budget.h"

#include <exception>
#include <system_error>
#include <thread>

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

ThreadBudget* SharedThreadBudget() {
  static ThreadBudget shared(std::thread::hardware_concurrency() > 1 ? std::thread::hardware_concurrency() - 1 : 0);
  return &shared;
}

void RunBeside(ThreadBudget* threads, const std::function<void()>& side, const std::function<void()>& main) {
  std::thread helper;
  std::exception_ptr side_failure;
  if (threads && threads->TryTake()) {
    try {
      // The thread goes back to the budget as soon as the side step ends,
      // for the main step's own work to take.
      helper = std::thread([&] {
        try {
          side();
        } catch (...) {
          side_failure = std::current_exception();
        }
        threads->Give();
      });
    } catch (const std::system_error&) {
      threads->Give();
    }
  }
  if (!helper.joinable()) {
    side();
    main();
    return;
  }
  std::exception_ptr main_failure;
  try {
    main();
  } catch (...) {
    main_failure = std::current_exception();
  }
  helper.join();
  if (main_failure) std::rethrow_exception(main_failure);
  if (side_failure) std::rethrow_exception(side_failure);
}

}  // namespace vxpatch
