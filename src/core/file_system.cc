#include "core/file_system.h"

#include "core/posix_file_system.h"

namespace sorvid {

FileSystem& default_file_system() {
  // Never destroyed, so that stores alive during static destruction can still
  // reach it.
  static PosixFileSystem* const instance = new PosixFileSystem();
  return *instance;
}

}  // namespace sorvid
