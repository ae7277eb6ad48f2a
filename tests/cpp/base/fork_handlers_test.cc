// The fork-handler registry: every registered handler runs at its moment,
// in registration order after the fork and in reverse order before it.
#include "base/fork_handlers.h"

#include <gtest/gtest.h>

#include <string>

#include "fork_child.h"

namespace sorvid {
namespace {

// What the handlers saw, in order; each handler appends its own letter.
std::string trace;

void prepare_a() { trace += "pa "; }
void prepare_b() { trace += "pb "; }
void parent_a() { trace += "Pa "; }
void parent_b() { trace += "Pb "; }
void child_a() { trace += "Ca "; }
void child_b() { trace += "Cb "; }

int check_child_trace(int) { return trace == "pb pa Ca Cb " ? 0 : 1; }

TEST(ForkHandlers, RunInOrderAroundFork) {
  if (kUnderThreadSanitizer) GTEST_SKIP() << "ThreadSanitizer does not support a multi-threaded fork";
  register_fork_handlers({prepare_a, parent_a, child_a});
  register_fork_handlers({prepare_b, parent_b, child_b});
  trace.clear();
  expect_child_succeeds(check_child_trace);
  EXPECT_EQ("pb pa Pa Pb ", trace);
}

}  // namespace
}  // namespace sorvid
