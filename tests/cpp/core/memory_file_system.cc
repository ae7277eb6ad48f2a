#include "memory_file_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/paths.h"

namespace sorvid::testing {
namespace {

const char* op_name(FsOp op) {
  switch (op) {
    case FsOp::kOpen: return "open";
    case FsOp::kRead: return "read";
    case FsOp::kReadAt: return "read_at";
    case FsOp::kWrite: return "write";
    case FsOp::kSize: return "size";
    case FsOp::kTruncate: return "truncate";
    case FsOp::kSync: return "sync";
    case FsOp::kLockExclusive: return "lock_exclusive";
    case FsOp::kLockShared: return "lock_shared";
    case FsOp::kAttributes: return "attributes";
    case FsOp::kRename: return "rename";
    case FsOp::kRemove: return "remove";
    case FsOp::kSyncDirectory: return "sync_directory";
    case FsOp::kCreateUnique: return "create_unique";
    case FsOp::kSetPermissions: return "set_permissions";
    case FsOp::kResolve: return "resolve";
    case FsOp::kMapWhole: return "map_whole";
  }
  return "?";
}

bool writable(OpenMode mode) { return mode != OpenMode::kRead; }
bool readable(OpenMode mode) { return mode != OpenMode::kCreateTruncate; }

}  // namespace

// --- Setting up and inspecting.

MemoryFileSystem::NodePtr MemoryFileSystem::new_node(FileKind kind) {
  auto node = std::make_shared<Node>();
  node->kind = kind;
  node->inode = next_inode_++;
  return node;
}

void MemoryFileSystem::put_file(const std::string& path, const std::string& bytes) {
  NodePtr node = new_node(FileKind::kRegular);
  node->data = bytes;
  node->synced_data = bytes;
  node->synced_then_cut = bytes;
  names_[path] = node;
  durable_names_[path] = node;
}

void MemoryFileSystem::make_directory(const std::string& path) {
  NodePtr node = new_node(FileKind::kDirectory);
  names_[path] = node;
  durable_names_[path] = node;
}

std::uint32_t MemoryFileSystem::permissions(const std::string& path) const {
  auto found = names_.find(path);
  return found == names_.end() ? 0 : found->second->permissions;
}

bool MemoryFileSystem::exists(const std::string& path) const { return names_.count(path) != 0; }

std::optional<std::string> MemoryFileSystem::contents(const std::string& path) const {
  auto found = names_.find(path);
  if (found == names_.end()) return std::nullopt;
  return found->second->data;
}

std::vector<std::string> MemoryFileSystem::paths() const {
  std::vector<std::string> all;
  for (const auto& [path, node] : names_) all.push_back(path);
  return all;
}

void MemoryFileSystem::sync_everything() {
  durable_names_ = names_;
  for (auto& [path, node] : names_) node->synced_data = node->synced_then_cut = node->data;
}

std::unique_ptr<MemoryFileSystem> MemoryFileSystem::after_power_cut(PowerCut model) const {
  auto survivor = std::make_unique<MemoryFileSystem>();
  const bool keep_metadata = model == PowerCut::kKeepMetadata;
  // A node reachable under two names stays one node.
  std::map<const Node*, NodePtr> copies;
  for (const auto& [path, node] : keep_metadata ? names_ : durable_names_) {
    NodePtr& copy = copies[node.get()];
    if (!copy) {
      copy = std::make_shared<Node>(*node);
      copy->data = keep_metadata ? node->synced_then_cut : node->synced_data;
      copy->synced_data = copy->synced_then_cut = copy->data;
      copy->shared_holders.clear();
      copy->exclusive_holder.reset();
    }
    survivor->names_[path] = copy;
    survivor->durable_names_[path] = copy;
  }
  return survivor;
}

// --- Locks.

LockState MemoryFileSystem::lock_state(const std::string& path) const {
  auto found = names_.find(path);
  if (found == names_.end()) return LockState::kUnlocked;
  if (found->second->exclusive_holder) return LockState::kExclusive;
  return found->second->shared_holders.empty() ? LockState::kUnlocked : LockState::kShared;
}

void MemoryFileSystem::guard_with_lock(const std::string& path, const std::string& lock_path) {
  guards_[path] = lock_path;
}

void MemoryFileSystem::check_guard(const char* operation, const std::string& path, bool changes) {
  auto guard = guards_.find(path);
  if (guard == guards_.end()) return;
  const LockState held = lock_state(guard->second);
  const bool allowed = changes ? held == LockState::kExclusive : held != LockState::kUnlocked;
  if (!allowed) unguarded_uses_.push_back(std::string(operation) + " " + path);
}

Result<void, OsError> MemoryFileSystem::lock(FileHandle file, FsOp op) {
  OpenFile* open_file = find_handle(file);
  if (int code = begin(op, open_file ? open_file->path : "?")) return fail(OsError{code});
  if (!open_file) return fail(OsError{EBADF});
  Node& node = *open_file->node;
  const bool others_share = std::any_of(node.shared_holders.begin(), node.shared_holders.end(),
                                        [file](FileHandle holder) { return holder != file; });
  const bool other_excludes = node.exclusive_holder && *node.exclusive_holder != file;
  // A real lock would wait here for the other handle to let go.
  if (other_excludes || (op == FsOp::kLockExclusive && others_share)) return fail(OsError{EWOULDBLOCK});
  // Like flock, a new request converts the lock this handle already holds.
  node.shared_holders.erase(file);
  if (node.exclusive_holder == file) node.exclusive_holder.reset();
  if (op == FsOp::kLockExclusive) {
    node.exclusive_holder = file;
  } else {
    node.shared_holders.insert(file);
  }
  return {};
}

Result<void, OsError> MemoryFileSystem::lock_exclusive(FileHandle file) { return lock(file, FsOp::kLockExclusive); }

Result<void, OsError> MemoryFileSystem::lock_shared(FileHandle file) { return lock(file, FsOp::kLockShared); }

// --- Faults.

void MemoryFileSystem::fail_operation(std::uint64_t number, int code) { numbered_faults_[fault_base_ + number] = code; }

void MemoryFileSystem::fail_every(FsOp op, int code) { kind_faults_[op] = code; }

void MemoryFileSystem::halt_after(std::uint64_t operations) { halt_after_ = fault_base_ + operations; }

void MemoryFileSystem::reset_faults() {
  fault_base_ = operation_count_;
  numbered_faults_.clear();
  kind_faults_.clear();
  halt_after_.reset();
  write_limit_.reset();
  log_.clear();
}

int MemoryFileSystem::begin(FsOp op, const std::string& what) {
  const std::uint64_t number = ++operation_count_;
  log_.push_back(std::string(op_name(op)) + " " + what);
  if (halt_after_ && number > *halt_after_) return EIO;
  if (auto found = numbered_faults_.find(number); found != numbered_faults_.end()) return found->second;
  if (auto found = kind_faults_.find(op); found != kind_faults_.end()) return found->second;
  return 0;
}

void MemoryFileSystem::cut(Node& node, std::uint64_t length) {
  node.data.resize(length, '\0');
  if (node.synced_then_cut.size() > length) node.synced_then_cut.resize(length);
}

std::size_t MemoryFileSystem::copy_out(const Node& node, std::uint64_t offset, std::span<char> out) {
  if (offset >= node.data.size()) return 0;
  const std::size_t count = std::min<std::size_t>(out.size(), node.data.size() - offset);
  std::memcpy(out.data(), node.data.data() + offset, count);
  return count;
}

MemoryFileSystem::OpenFile* MemoryFileSystem::find_handle(FileHandle file) {
  auto found = handles_.find(file);
  return found == handles_.end() ? nullptr : &found->second;
}

// --- FileSystem.

Result<FileHandle, OsError> MemoryFileSystem::open(const std::string& path, OpenMode mode) {
  if (int code = begin(FsOp::kOpen, path)) return fail(OsError{code});
  // Creating a file changes nothing another store could be reading; cutting
  // one does.
  if (mode == OpenMode::kCreateTruncate) check_guard("open", path, true);
  auto found = names_.find(path);
  NodePtr node;
  if (found != names_.end()) {
    node = found->second;
    if (node->kind == FileKind::kOther) return fail(OsError{OsError::kNotRegularFile});
    if (node->kind == FileKind::kDirectory && writable(mode)) return fail(OsError{EISDIR});
    if (mode == OpenMode::kCreateTruncate) cut(*node, 0);
  } else {
    if (mode == OpenMode::kRead) return fail(OsError{ENOENT});
    node = new_node(FileKind::kRegular);
    names_[path] = node;
  }
  const FileHandle handle = next_handle_++;
  handles_[handle] = OpenFile{node, mode, path, 0};
  return handle;
}

Result<FileHandle, OsError> MemoryFileSystem::create_unique(const std::string& prefix, std::string& path) {
  if (int code = begin(FsOp::kCreateUnique, prefix)) return fail(OsError{code});
  path = prefix;
  for (int suffix = 2; exists(path); ++suffix) path = prefix + "." + std::to_string(suffix);
  check_guard("create_unique", path, true);
  names_[path] = new_node(FileKind::kRegular);
  const FileHandle handle = next_handle_++;
  handles_[handle] = OpenFile{names_[path], OpenMode::kCreateTruncate, path, 0};
  return handle;
}

Result<void, OsError> MemoryFileSystem::set_permissions(FileHandle file, std::uint32_t permissions) {
  OpenFile* open_file = find_handle(file);
  if (int code = begin(FsOp::kSetPermissions, open_file ? open_file->path : "?")) return fail(OsError{code});
  if (!open_file) return fail(OsError{EBADF});
  open_file->node->permissions = permissions;
  return {};
}

Result<std::string, OsError> MemoryFileSystem::resolve(const std::string& path) {
  if (int code = begin(FsOp::kResolve, path)) return fail(OsError{code});
  return path;
}

void MemoryFileSystem::close(FileHandle file) {
  auto found = handles_.find(file);
  if (found == handles_.end()) return;
  Node& node = *found->second.node;
  node.shared_holders.erase(file);
  if (node.exclusive_holder == file) node.exclusive_holder.reset();
  handles_.erase(found);
}

Result<std::size_t, OsError> MemoryFileSystem::read(FileHandle file, std::span<char> out) {
  OpenFile* open_file = find_handle(file);
  if (int code = begin(FsOp::kRead, open_file ? open_file->path : "?")) return fail(OsError{code});
  if (!open_file || !readable(open_file->mode)) return fail(OsError{EBADF});
  if (open_file->node->kind == FileKind::kDirectory) return fail(OsError{EISDIR});
  check_guard("read", open_file->path, false);
  const std::size_t count = copy_out(*open_file->node, open_file->position, out);
  open_file->position += count;
  return count;
}

Result<std::size_t, OsError> MemoryFileSystem::read_at(FileHandle file, std::uint64_t offset, std::span<char> out) {
  OpenFile* open_file = find_handle(file);
  if (int code = begin(FsOp::kReadAt, open_file ? open_file->path : "?")) return fail(OsError{code});
  if (!open_file || !readable(open_file->mode)) return fail(OsError{EBADF});
  if (open_file->node->kind == FileKind::kDirectory) return fail(OsError{EISDIR});
  check_guard("read_at", open_file->path, false);
  return copy_out(*open_file->node, offset, out);
}

Result<std::size_t, OsError> MemoryFileSystem::write(FileHandle file, std::span<const char> data) {
  OpenFile* open_file = find_handle(file);
  if (int code = begin(FsOp::kWrite, (open_file ? open_file->path : "?") + " " + std::to_string(data.size()))) {
    return fail(OsError{code});
  }
  if (!open_file || !writable(open_file->mode)) return fail(OsError{EBADF});
  check_guard("write", open_file->path, true);
  std::size_t count = data.size();
  if (write_limit_) count = std::min(count, *write_limit_);
  std::string& bytes = open_file->node->data;
  if (open_file->mode == OpenMode::kReadAppend) open_file->position = bytes.size();
  if (bytes.size() < open_file->position + count) bytes.resize(open_file->position + count, '\0');
  std::memcpy(bytes.data() + open_file->position, data.data(), count);
  open_file->position += count;
  return count;
}

Result<std::uint64_t, OsError> MemoryFileSystem::size(FileHandle file) {
  OpenFile* open_file = find_handle(file);
  if (int code = begin(FsOp::kSize, open_file ? open_file->path : "?")) return fail(OsError{code});
  if (!open_file) return fail(OsError{EBADF});
  check_guard("size", open_file->path, false);
  return static_cast<std::uint64_t>(open_file->node->data.size());
}

namespace {

class MemoryMapping final : public FileMapping {
 public:
  explicit MemoryMapping(std::unique_ptr<char[]> bytes, std::size_t size)
      : FileMapping(std::string_view(bytes.get(), size)), bytes_(std::move(bytes)) {}

 private:
  std::unique_ptr<char[]> bytes_;
};

}  // namespace

Result<std::unique_ptr<FileMapping>, OsError> MemoryFileSystem::map_whole(FileHandle file) {
  OpenFile* open_file = find_handle(file);
  if (int code = begin(FsOp::kMapWhole, open_file ? open_file->path : "?")) return fail(OsError{code});
  if (!open_file || !readable(open_file->mode)) return fail(OsError{EBADF});
  if (open_file->node->kind == FileKind::kDirectory) return fail(OsError{ENODEV});
  check_guard("map_whole", open_file->path, false);
  const std::string& data = open_file->node->data;
  auto bytes = std::make_unique<char[]>(data.size());
  std::memcpy(bytes.get(), data.data(), data.size());
  return std::unique_ptr<FileMapping>(std::make_unique<MemoryMapping>(std::move(bytes), data.size()));
}

Result<void, OsError> MemoryFileSystem::truncate(FileHandle file, std::uint64_t length) {
  OpenFile* open_file = find_handle(file);
  if (int code = begin(FsOp::kTruncate, open_file ? open_file->path : "?")) return fail(OsError{code});
  if (!open_file || !writable(open_file->mode)) return fail(OsError{EBADF});
  check_guard("truncate", open_file->path, true);
  cut(*open_file->node, length);
  return {};
}

Result<void, OsError> MemoryFileSystem::sync(FileHandle file) {
  OpenFile* open_file = find_handle(file);
  if (int code = begin(FsOp::kSync, open_file ? open_file->path : "?")) return fail(OsError{code});
  if (!open_file) return fail(OsError{EBADF});
  open_file->node->synced_data = open_file->node->synced_then_cut = open_file->node->data;
  return {};
}

Result<FileAttributes, OsError> MemoryFileSystem::attributes(const std::string& path) {
  if (int code = begin(FsOp::kAttributes, path)) return fail(OsError{code});
  auto found = names_.find(path);
  if (found == names_.end()) return fail(OsError{ENOENT});
  const Node& node = *found->second;
  return FileAttributes{node.data.size(), node.kind, 1, node.inode, node.permissions};
}

Result<void, OsError> MemoryFileSystem::rename(const std::string& from, const std::string& to) {
  if (int code = begin(FsOp::kRename, from + " " + to)) return fail(OsError{code});
  auto found = names_.find(from);
  if (found == names_.end()) return fail(OsError{ENOENT});
  check_guard("rename", from, true);
  check_guard("rename", to, true);
  NodePtr node = found->second;
  names_.erase(found);
  names_[to] = node;
  return {};
}

Result<void, OsError> MemoryFileSystem::remove(const std::string& path) {
  if (int code = begin(FsOp::kRemove, path)) return fail(OsError{code});
  if (exists(path)) check_guard("remove", path, true);
  if (names_.erase(path) == 0) return fail(OsError{ENOENT});
  return {};
}

Result<void, OsError> MemoryFileSystem::sync_directory(const std::string& path) {
  if (int code = begin(FsOp::kSyncDirectory, path)) return fail(OsError{code});
  // Every name in this directory becomes durable as it stands now.
  for (auto it = durable_names_.begin(); it != durable_names_.end();) {
    if (directory_of(it->first) == path && names_.count(it->first) == 0) {
      it = durable_names_.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& [name, node] : names_) {
    if (directory_of(name) == path) durable_names_[name] = node;
  }
  return {};
}

}  // namespace sorvid::testing
