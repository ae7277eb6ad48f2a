#include "python/store_object.h"

#include <new>
#include <span>
#include <string>
#include <utility>

#include "python/entry_object.h"
#include "python/gil_release.h"
#include "python/store_call.h"

namespace sorvid::python {
namespace {

PyTypeObject* g_store_type = nullptr;

constexpr ParamSpec kPathParams[] = {
    {"snapshot_path", ArgKind::kText, /*required=*/false, "store.snap"},
    {"wal_path", ArgKind::kText, /*required=*/false, "store.wal"},
};
constexpr Signature kNew{"VectorStore.new()", kPathParams};
constexpr Signature kOpen{"VectorStore.open()", kPathParams};

constexpr ParamSpec kEntryParam[] = {{"entry", ArgKind::kEntry}};
constexpr ParamSpec kEntriesParam[] = {{"entries", ArgKind::kEntryList}};
constexpr ParamSpec kIdParam[] = {{"id", ArgKind::kText}};
constexpr ParamSpec kSearchParams[] = {
    {"query", ArgKind::kFloatVector},
    {"top_k", ArgKind::kUnsigned, /*required=*/false, "", 10},
};

constexpr ParamSpec kSearchBatchParams[] = {
    {"queries", ArgKind::kFloatRows},
    {"top_k", ArgKind::kUnsigned, /*required=*/false, "", 10},
};
constexpr ParamSpec kSearchFilteredParams[] = {
    {"query", ArgKind::kFloatVector},
    {"allowed", ArgKind::kTextList},
    {"top_k", ArgKind::kUnsigned, /*required=*/false, "", 10},
};

constexpr StoreMethod kUpsert{{"VectorStore.upsert()", kEntryParam}, Access::kExclusive, /*changes_records=*/true};
constexpr StoreMethod kUpsertBatch{
    {"VectorStore.upsert_batch()", kEntriesParam}, Access::kExclusive, /*changes_records=*/true};
constexpr StoreMethod kDelete{{"VectorStore.delete()", kIdParam}, Access::kExclusive, /*changes_records=*/true};
constexpr StoreMethod kGet{{"VectorStore.get()", kIdParam}, Access::kShared};
constexpr StoreMethod kSearch{{"VectorStore.search()", kSearchParams}, Access::kExclusive};
constexpr StoreMethod kSearchBatch{{"VectorStore.search_batch()", kSearchBatchParams}, Access::kExclusive};
constexpr StoreMethod kSearchFiltered{{"VectorStore.search_filtered()", kSearchFilteredParams}, Access::kExclusive};

PyObject* none_or_error(const Result<void, StoreError>& result) {
  if (!result) return raise_store_error(result.error());
  Py_RETURN_NONE;
}

PyObject* new_unsigned(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

// Engine calls of the methods; arguments arrive converted, in parameter order.
// Every call that reads or writes files, may wait for the log's lock or
// builds the index runs without the GIL (gil_release.h).

PyObject* make_new(ArgValue* args) {
  // Checking the paths looks at the files, which may be on a slow disk.
  auto created = without_gil([&] {
    return StoreCore::create(std::move(std::get<std::string>(args[0])), std::move(std::get<std::string>(args[1])));
  });
  if (!created) return raise_store_error(created.error());
  return new_store_object(std::move(created).value());
}

PyObject* make_open(ArgValue* args) {
  auto opened = without_gil([&] {
    return StoreCore::open(std::move(std::get<std::string>(args[0])), std::move(std::get<std::string>(args[1])));
  });
  if (!opened) return raise_store_error(opened.error());
  return new_store_object(std::move(opened).value());
}

PyObject* upsert(StoreObject& store, ArgValue* args) {
  StoreCore& core = *store.core;
  return none_or_error(without_gil([&] { return core.upsert(std::move(std::get<VectorEntry>(args[0]))); }));
}

PyObject* upsert_batch(StoreObject& store, ArgValue* args) {
  StoreCore& core = *store.core;
  // The batch is moved into the engine, so even its release runs without the GIL.
  return none_or_error(
      without_gil([&] { return core.upsert_batch(std::move(std::get<std::vector<VectorEntry>>(args[0]))); }));
}

PyObject* delete_entry(StoreObject& store, ArgValue* args) {
  StoreCore& core = *store.core;
  return none_or_error(without_gil([&] { return core.remove(std::get<std::string>(args[0])); }));
}

PyObject* get(StoreObject& store, ArgValue* args) {
  StoreCore& core = *store.core;
  const VectorEntry* entry = core.get(std::get<std::string>(args[0]));
  if (entry == nullptr) Py_RETURN_NONE;
  return new_entry_object(*entry);
}

// A (VectorEntry, distance) pair for one hit, its entry lent by the store.
PyObject* new_hit_pair(const SearchHit& hit, EntryLoans& loans) {
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) return nullptr;
  // An item left null is skipped when the tuple is released. Where entries
  // are copied rather than lent, the copy may run out of memory.
  PyObject* entry = or_memory_error<PyObject*>(nullptr, [&] { return new_lent_entry_object(*hit.entry, loans); });
  if (entry == nullptr) {
    Py_DECREF(pair);
    return nullptr;
  }
  PyTuple_SET_ITEM(pair, 0, entry);
  PyObject* distance = PyFloat_FromDouble(static_cast<double>(hit.distance));
  if (distance == nullptr) {
    Py_DECREF(pair);
    return nullptr;
  }
  PyTuple_SET_ITEM(pair, 1, distance);
  return pair;
}

// A list of (VectorEntry, distance) pairs, nearest first.
PyObject* new_hit_list(const std::vector<SearchHit>& hits, EntryLoans& loans) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(hits.size()));
  if (list == nullptr) return nullptr;
  Py_ssize_t position = 0;
  for (const SearchHit& hit : hits) {
    PyObject* pair = new_hit_pair(hit, loans);
    if (pair == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, position++, pair);
  }
  return list;
}

PyObject* hit_list_or_error(const Result<std::vector<SearchHit>, StoreError>& hits, EntryLoans& loans) {
  if (!hits) return raise_store_error(hits.error());
  return new_hit_list(hits.value(), loans);
}

PyObject* search(StoreObject& store, ArgValue* args) {
  StoreCore& core = *store.core;
  const auto& query = std::get<std::vector<float>>(args[0]);
  const std::uint64_t top_k = std::get<std::uint64_t>(args[1]);
  return hit_list_or_error(without_gil([&] { return core.search(std::span<const float>(query), top_k); }), store.loans);
}

PyObject* search_batch(StoreObject& store, ArgValue* args) {
  StoreCore& core = *store.core;
  const std::vector<std::span<const float>> queries = std::get<FloatRows>(args[0]).rows();
  const std::uint64_t top_k = std::get<std::uint64_t>(args[1]);
  auto found = without_gil([&] { return core.search_batch(queries, top_k); });
  if (!found) return raise_store_error(found.error());
  PyObject* lists = PyList_New(static_cast<Py_ssize_t>(found.value().size()));
  if (lists == nullptr) return nullptr;
  Py_ssize_t position = 0;
  for (const std::vector<SearchHit>& hits : found.value()) {
    PyObject* list = new_hit_list(hits, store.loans);
    if (list == nullptr) {
      Py_DECREF(lists);
      return nullptr;
    }
    PyList_SET_ITEM(lists, position++, list);
  }
  return lists;
}

PyObject* search_filtered(StoreObject& store, ArgValue* args) {
  StoreCore& core = *store.core;
  const auto& query = std::get<std::vector<float>>(args[0]);
  const auto& allowed = std::get<std::vector<std::string>>(args[1]);
  const std::uint64_t top_k = std::get<std::uint64_t>(args[2]);
  return hit_list_or_error(without_gil([&] { return core.search_filtered(query, allowed, top_k); }), store.loans);
}

PyObject* ids(StoreObject& store, ArgValue* /*args*/) {
  StoreCore& core = *store.core;
  const std::vector<const VectorEntry*> listed = core.entries_by_id();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(listed.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    PyObject* id = new_text(listed[i]->id);
    if (id == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), id);
  }
  return list;
}

PyObject* sync(StoreObject& store, ArgValue* /*args*/) {
  StoreCore& core = *store.core;
  return none_or_error(without_gil([&] { return core.sync(); }));
}

PyObject* compact(StoreObject& store, ArgValue* /*args*/) {
  StoreCore& core = *store.core;
  return none_or_error(without_gil([&] { return core.compact(); }));
}

// Properties and slots: shared access, no arguments.

template <class Status, class Read>
Status read_store(PyObject* self, Status failed, Read&& read) {
  return run_at_boundary_status<Status>([&]() -> Status {
    return with_store_access(self, Access::kShared, failed, [&](StoreObject& store) { return read(*store.core); });
  });
}

template <PyObject* (*kRead)(const StoreCore&)>
PyObject* store_property(PyObject* self, void* /*closure*/) {
  return run_at_boundary([&]() -> PyObject* {
    return with_store_access(self, Access::kShared, static_cast<PyObject*>(nullptr),
                             [&](StoreObject& store) { return kRead(*store.core); });
  });
}

PyObject* read_len(const StoreCore& core) { return new_unsigned(core.len()); }
PyObject* read_wal_pending(const StoreCore& core) { return new_unsigned(core.wal_pending()); }
PyObject* read_dim(const StoreCore& core) {
  if (!core.dim()) Py_RETURN_NONE;
  return new_unsigned(*core.dim());
}

Py_ssize_t store_length(PyObject* self) {
  return read_store<Py_ssize_t>(self, -1, [](const StoreCore& core) { return static_cast<Py_ssize_t>(core.len()); });
}

int store_bool(PyObject* self) {
  return read_store<int>(self, -1, [](const StoreCore& core) { return core.len() > 0 ? 1 : 0; });
}

PyObject* store_repr(PyObject* self) {
  return run_at_boundary([&]() -> PyObject* {
    return with_store_access(
        self, Access::kShared, static_cast<PyObject*>(nullptr), [](StoreObject& store) -> PyObject* {
          const StoreCore& core = *store.core;
          const std::string dim = core.dim() ? "Some(" + std::to_string(*core.dim()) + ")" : "None";
          const std::string text = "VectorStore(len=" + std::to_string(core.len()) + ", dim=" + dim +
                                   ", wal_pending=" + std::to_string(core.wal_pending()) + ")";
          return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        });
  });
}

void store_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<StoreObject*>(object);
  PyTypeObject* type = Py_TYPE(object);
  if (self->owner_thread == current_thread_number() && take_back_all(self->loans)) {
    delete self->core;
  } else if (self->owner_thread == current_thread_number()) {
    // No memory to copy the lent records: the engine state stays allocated,
    // untouched from now on, and the entries go on reading it.
    forget_loans(self->loans);
  } else {
    // The engine state belongs to the owner thread: leave it allocated
    // rather than release it here, and say so. Its lent entries go on
    // reading it, as nothing changes it any more.
    forget_loans(self->loans);
    PyObject* pending = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError,
                    "sorvid_vector_db::VectorStore is unsendable, but is being dropped on another thread");
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
  }
  self->loans.~EntryLoans();
  self->borrow_flag.~BorrowFlag();
  type->tp_free(object);
  Py_DECREF(type);
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

#define SORVID_FASTCALL(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))

PyMethodDef store_methods[] = {
    {"new", SORVID_FASTCALL((store_factory<kNew, make_new>)), kFastcall | METH_STATIC,
     "new(snapshot_path=\"store.snap\", wal_path=\"store.wal\")\n--\n\n"
     "Create a fresh empty store (does not read any existing files)."},
    {"open", SORVID_FASTCALL((store_factory<kOpen, make_open>)), kFastcall | METH_STATIC,
     "open(snapshot_path=\"store.snap\", wal_path=\"store.wal\")\n--\n\n"
     "Open an existing store (loads snapshot + replays WAL), or create fresh."},
    {"upsert", SORVID_FASTCALL((store_method<kUpsert, upsert>)), kFastcall,
     "upsert($self, entry)\n--\n\n"
     "Insert or replace an entry by ID. O(1) WAL append \u2014 no index rebuild."},
    {"upsert_batch", SORVID_FASTCALL((store_method<kUpsertBatch, upsert_batch>)), kFastcall,
     "upsert_batch($self, entries)\n--\n\n"
     "Batch upsert. Single buffered WAL write for the whole batch."},
    {"delete", SORVID_FASTCALL((store_method<kDelete, delete_entry>)), kFastcall,
     "delete($self, id)\n--\n\n"
     "Delete by ID. No-op (not an error) if the ID does not exist."},
    {"get", SORVID_FASTCALL((store_method<kGet, get>)), kFastcall,
     "get($self, id)\n--\n\n"
     "Point lookup by ID. Returns None if not found."},
    {"search", SORVID_FASTCALL((store_method<kSearch, search>)), kFastcall,
     "search($self, query, top_k=10)\n--\n\n"
     "Search top-k nearest neighbours.\n"
     "Returns a list of (VectorEntry, distance) tuples.\n"
     "Rebuilds the HNSW index lazily only when the live state has changed."},
    {"search_batch", SORVID_FASTCALL((store_method<kSearchBatch, search_batch>)), kFastcall,
     "search_batch($self, queries, top_k=10)\n--\n\n"
     "Search the top-k nearest neighbours of every query at once.\n"
     "`queries` is a 2-D float32 array or a sequence of sequences of numbers.\n"
     "Returns one list per query, each what search() returns for it; the\n"
     "queries run in parallel."},
    {"search_filtered", SORVID_FASTCALL((store_method<kSearchFiltered, search_filtered>)), kFastcall,
     "search_filtered($self, query, allowed, top_k=10)\n--\n\n"
     "Search the top-k nearest neighbours among the entries whose ID is in\n"
     "`allowed` (an iterable of str; unknown IDs are ignored).\n"
     "Returns min(top_k, 100, allowed entries) (VectorEntry, distance) tuples."},
    {"ids", (store_method_noargs<Access::kShared, ids>), METH_NOARGS,
     "ids($self)\n--\n\n"
     "The IDs of the live entries, sorted by their UTF-8 bytes."},
    {"sync", (store_method_noargs<Access::kExclusive, sync>), METH_NOARGS,
     "sync($self)\n--\n\n"
     "Make every write so far durable against power loss (fsync of the WAL\n"
     "and, when it was created, of its directory)."},
    {"compact", (store_method_noargs<Access::kExclusive, compact, /*kChangesRecords=*/true>), METH_NOARGS,
     "compact($self)\n--\n\n"
     "Merge WAL into snapshot, truncate WAL file, rebuild HNSW index once.\n"
     "Call after large batch inserts or on a schedule."},
    {nullptr, nullptr, 0, nullptr},
};

#undef SORVID_FASTCALL

PyGetSetDef store_properties[] = {
    {"len", store_property<read_len>, nullptr, "Number of live entries.", nullptr},
    {"dim", store_property<read_dim>, nullptr, "Fixed embedding dimension, or None if the store is empty.", nullptr},
    {"wal_pending", store_property<read_wal_pending>, nullptr, "WAL ops not yet merged into the snapshot.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(store_repr)},
    {Py_mp_length, reinterpret_cast<void*>(store_length)},
    {Py_nb_bool, reinterpret_cast<void*>(store_bool)},
    {Py_tp_methods, store_methods},
    {Py_tp_getset, store_properties},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "builtins.VectorStore", sizeof(StoreObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, store_slots,
};

}  // namespace

PyTypeObject* store_type() {
  if (g_store_type == nullptr) {
    g_store_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&store_spec));
  }
  return g_store_type;
}

PyObject* new_store_object(StoreCore core) {
  PyTypeObject* type = store_type();
  if (type == nullptr) return nullptr;
  auto* self = reinterpret_cast<StoreObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->borrow_flag) BorrowFlag();
  new (&self->loans) EntryLoans();
  self->owner_thread = current_thread_number();
  self->core = new StoreCore(std::move(core));
  return reinterpret_cast<PyObject*>(self);
}

PyObject* raise_store_error(const StoreError& error) {
  PyObject* type = error.kind == StoreErrorKind::kIo ? PyExc_OSError : PyExc_ValueError;
  PyObject* message =
      PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace");
  if (message == nullptr) return nullptr;
  PyObject* exception = PyObject_CallOneArg(type, message);
  Py_DECREF(message);
  if (exception == nullptr) return nullptr;
  PyErr_SetObject(type, exception);
  Py_DECREF(exception);
  return nullptr;
}

bool take_loans_back(StoreObject& store) {
  if (take_back_all(store.loans)) return true;
  PyErr_NoMemory();
  return false;
}

PyObject* raise_wrong_thread(const StoreObject& store) {
  const std::string text =
      "assertion `left == right` failed: sorvid_vector_db::VectorStore is unsendable, but sent to another "
      "thread\n  left: ThreadId(" +
      std::to_string(current_thread_number()) + ")\n right: ThreadId(" + std::to_string(store.owner_thread) + ")";
  return raise_panic(text);
}

}  // namespace sorvid::python
