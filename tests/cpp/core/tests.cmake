sorvid_add_test(core_test LINKS sorvid_core LABELS core SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/memory_file_system.cc
  ${CMAKE_CURRENT_LIST_DIR}/buffered_writer_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/line_reader_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/store_error_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/store_mutation_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/wal_append_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/wal_reader_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/store_open_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/store_compact_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/store_search_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/store_query_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/store_index_upkeep_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/store_locking_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/posix_mapping_test.cc
)
