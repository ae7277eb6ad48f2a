// Test helpers for code that must behave after fork().
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "under_sanitizer.h"

namespace sorvid {

using sorvid::testing::kUnderThreadSanitizer;

// Runs `child` in a forked process, which must exit 0 within a minute.
inline void expect_child_succeeds(int (*child)(int), int pipe_out = -1) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(60);  // a child that hangs dies instead of holding up the test run
    _exit(child(pipe_out));
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status)) << "child was killed by signal " << WTERMSIG(status);
  EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace sorvid
