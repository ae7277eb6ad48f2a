// MemoryFileSystem: an in-memory FileSystem for tests, with injected faults
// and a model of what survives a power cut.
//
// Paths are plain strings in one flat namespace; a path's directory is given
// by directory_of(), the rule the engine uses when it syncs a directory.
//
// Durability: every file has its current bytes and the bytes of its last
// sync(). A power cut is modelled in one of two ways (both are what real file
// systems may do):
//   - kLoseUnsynced: names (creation, rename, removal) survive only when
//     sync_directory() of their directory followed them, and each file keeps
//     the bytes of its last sync.
//   - kKeepMetadata: every name survives as it stands, and so does every cut
//     of a file's length (truncate, or open with truncation), but bytes
//     written since the file's last sync are lost.
//
// Locks: lock_exclusive() and lock_shared() follow flock: a lock belongs to one
// handle and is released when that handle is closed. The tests run on one
// thread, where waiting for a lock held by another handle would never end, so
// a request that would wait fails with EWOULDBLOCK instead. guard_with_lock()
// checks the locking discipline of the caller: each use of a guarded path
// that is made without the required lock on its lock file is recorded.
//
// Faults: every operation except close() is numbered from 1 in call order and
// logged as "<operation> <path>" (writes add their length). A planned fault
// makes one numbered operation, or every operation of one kind, fail with an
// errno; halt_after(n) makes every operation after the n-th fail, as if the
// process had stopped there.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/file_system.h"

namespace sorvid::testing {

enum class PowerCut { kLoseUnsynced, kKeepMetadata };

enum class FsOp {
  kOpen,
  kRead,
  kReadAt,
  kWrite,
  kSize,
  kTruncate,
  kSync,
  kLockExclusive,
  kLockShared,
  kAttributes,
  kRename,
  kRemove,
  kSyncDirectory,
  kCreateUnique,
  kSetPermissions,
  kResolve,
  kMapWhole
};

enum class LockState { kUnlocked, kShared, kExclusive };

class MemoryFileSystem final : public FileSystem {
 public:
  MemoryFileSystem() = default;
  MemoryFileSystem(const MemoryFileSystem&) = delete;
  MemoryFileSystem& operator=(const MemoryFileSystem&) = delete;

  // --- Setting up and inspecting files (not counted as operations).
  void put_file(const std::string& path, const std::string& bytes);  // durable at once
  void make_directory(const std::string& path);
  // The permission bits of a file (0644 when it was made).
  std::uint32_t permissions(const std::string& path) const;
  bool exists(const std::string& path) const;
  // The current bytes of a file; nullopt when it does not exist.
  std::optional<std::string> contents(const std::string& path) const;
  std::vector<std::string> paths() const;
  // Makes every current name and byte durable.
  void sync_everything();
  // A file system holding only what survives a power cut now.
  std::unique_ptr<MemoryFileSystem> after_power_cut(PowerCut model) const;
  int open_handle_count() const { return static_cast<int>(handles_.size()); }

  // --- Locks.
  // The strongest lock any handle holds on the file a path names.
  LockState lock_state(const std::string& path) const;
  // From now on, reading `path` requires a lock (either kind) on `lock_path`,
  // and changing it (writing, cutting, creating, renaming or removing it)
  // requires an exclusive one. Uses without it are recorded.
  void guard_with_lock(const std::string& path, const std::string& lock_path);
  // "<operation> <path>" of every use that broke a guard.
  const std::vector<std::string>& unguarded_uses() const { return unguarded_uses_; }

  // --- Faults.
  void fail_operation(std::uint64_t number, int code);  // number counts from the last reset_faults()
  void fail_every(FsOp op, int code);
  void halt_after(std::uint64_t operations);
  // Each write accepts at most `limit` bytes (0: writes accept nothing).
  void limit_writes(std::size_t limit) { write_limit_ = limit; }
  void reset_faults();
  // Operations since the last reset_faults().
  std::uint64_t operation_count() const { return operation_count_ - fault_base_; }
  const std::vector<std::string>& operation_log() const { return log_; }

  // --- FileSystem.
  Result<FileHandle, OsError> open(const std::string& path, OpenMode mode) override;
  // The prefix itself when no file has that name, else the prefix and ".2",
  // ".3", ...: names the tests can predict.
  Result<FileHandle, OsError> create_unique(const std::string& prefix, std::string& path) override;
  Result<void, OsError> set_permissions(FileHandle file, std::uint32_t permissions) override;
  void close(FileHandle file) override;
  Result<std::size_t, OsError> read(FileHandle file, std::span<char> out) override;
  Result<std::size_t, OsError> read_at(FileHandle file, std::uint64_t offset, std::span<char> out) override;
  Result<std::size_t, OsError> write(FileHandle file, std::span<const char> data) override;
  Result<std::uint64_t, OsError> size(FileHandle file) override;
  // A copy of the file's bytes in memory of exactly their length, so that
  // AddressSanitizer catches a read past the end. fail_every(FsOp::kMapWhole,
  // ENODEV) makes a file system that cannot map.
  Result<std::unique_ptr<FileMapping>, OsError> map_whole(FileHandle file) override;
  Result<void, OsError> truncate(FileHandle file, std::uint64_t length) override;
  Result<void, OsError> sync(FileHandle file) override;
  Result<void, OsError> lock_exclusive(FileHandle file) override;
  Result<void, OsError> lock_shared(FileHandle file) override;
  Result<FileAttributes, OsError> attributes(const std::string& path) override;
  // Paths are flat names without links: each resolves to itself.
  Result<std::string, OsError> resolve(const std::string& path) override;
  Result<void, OsError> rename(const std::string& from, const std::string& to) override;
  Result<void, OsError> remove(const std::string& path) override;
  Result<void, OsError> sync_directory(const std::string& path) override;

 private:
  struct Node {
    std::string data;
    std::string synced_data;      // as of the last sync
    std::string synced_then_cut;  // synced_data, shortened by every later cut
    FileKind kind = FileKind::kRegular;
    std::uint64_t inode = 0;
    std::uint32_t permissions = 0644;
    std::set<FileHandle> shared_holders;
    std::optional<FileHandle> exclusive_holder;
  };
  using NodePtr = std::shared_ptr<Node>;
  struct OpenFile {
    NodePtr node;
    OpenMode mode;
    std::string path;
    std::uint64_t position = 0;
  };

  // Counts and logs one operation; returns the errno it must fail with, or 0.
  int begin(FsOp op, const std::string& what);
  OpenFile* find_handle(FileHandle file);
  static void cut(Node& node, std::uint64_t length);
  NodePtr new_node(FileKind kind);
  static std::size_t copy_out(const Node& node, std::uint64_t offset, std::span<char> out);
  Result<void, OsError> lock(FileHandle file, FsOp op);
  // Records a use of `path` that the guards do not allow.
  void check_guard(const char* operation, const std::string& path, bool changes);

  std::map<std::string, NodePtr> names_;
  std::map<std::string, NodePtr> durable_names_;
  std::map<FileHandle, OpenFile> handles_;
  FileHandle next_handle_ = 3;
  std::uint64_t next_inode_ = 1;

  std::uint64_t operation_count_ = 0;
  std::uint64_t fault_base_ = 0;
  std::map<std::uint64_t, int> numbered_faults_;
  std::map<FsOp, int> kind_faults_;
  std::optional<std::uint64_t> halt_after_;
  std::optional<std::size_t> write_limit_;
  std::vector<std::string> log_;
  std::map<std::string, std::string> guards_;  // guarded path -> its lock file
  std::vector<std::string> unguarded_uses_;
};

}  // namespace sorvid::testing
