// The process's handlers around fork(), registered in one place.
//
// pthread_atfork handlers cannot be removed, and each module that keeps
// threads or per-process state needs the same three moments. Modules register
// their handlers here once; the registry installs a single pthread_atfork
// hook on first use and runs the handlers in registration order for the
// child and the parent, and in reverse order before the fork (as
// pthread_atfork itself orders separate registrations).
#pragma once

namespace sorvid {

struct ForkHandlers {
  void (*prepare)() = nullptr;          // in the parent, before the fork
  void (*after_in_parent)() = nullptr;  // in the parent, after the fork
  void (*after_in_child)() = nullptr;   // in the child, its only thread
};

// Adds `handlers` to the registry. Meant for once-per-module registration
// (a function-local static); the registry holds at most eight entries, and
// registering more is a programming error that aborts.
void register_fork_handlers(ForkHandlers handlers);

}  // namespace sorvid
