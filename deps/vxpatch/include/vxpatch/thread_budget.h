// A shared count of threads that long work may add beside the thread that
// runs it. Whoever owns the cores (a command line with --jobs, a publisher
// running several files at once) hands out one budget; work that can split
// takes threads from it while some are free and gives each back when done,
// so that several callers together never run more threads than the budget
// allows. Taking never blocks: work that finds none free goes on alone.
//
// Contract: TryTake takes one thread if one is free and says whether it did;
// Give returns one taken thread (or adds one, for a caller whose own thread
// is no longer busy). Thread-safe. RunBeside runs two independent steps, the
// first on a thread of the budget while the caller runs the second when one
// is free (given back as soon as the first ends), else one after the
// other; it returns when both are done, and an exception of either (out of
// memory) reaches the caller after both ended.
// SharedThreadBudget() lives as long as the process.
#ifndef VXPATCH_THREAD_BUDGET_H
#define VXPATCH_THREAD_BUDGET_H

#include <atomic>
#include <functional>

namespace vxpatch {

class ThreadBudget {
 public:
  explicit ThreadBudget(unsigned free_threads);
  ThreadBudget(const ThreadBudget&) = delete;
  ThreadBudget& operator=(const ThreadBudget&) = delete;

  bool TryTake();
  void Give();

 private:
  std::atomic<unsigned> free_;
};

// The budget of this process's file-level operations that take no budget of
// their own (the updater's patches): one thread less than the cores, shared
// by everything that runs at once.
ThreadBudget* SharedThreadBudget();

void RunBeside(ThreadBudget* threads, const std::function<void()>& side, const std::function<void()>& main);

}  // namespace vxpatch

#endif  // VXPATCH_THREAD_BUDGET_H
