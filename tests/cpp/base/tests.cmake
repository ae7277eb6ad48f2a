# The ground floor: pool sizing on one thread; the worker pool and the fork
# handlers use threads and run again under ThreadSanitizer.
sorvid_add_test(base_test LINKS sorvid_base LABELS base SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/pool_size_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/fingerprint_test.cc
)

sorvid_add_test(base_threads_test LINKS sorvid_base LABELS base threads SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/worker_pool_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/fork_handlers_test.cc
)
add_dependencies(tsan_tests base_threads_test)
