# The index: distance, walk steps, build plan and buffers run on one
# thread; the builds, insertions, queries and seed source use threads
# and run again under ThreadSanitizer.
sorvid_add_test(hnsw_test LINKS sorvid_hnsw LABELS hnsw SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/distance_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/int8_rows_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/search_state_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/found_nodes_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/visit_marks_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/neighbour_selection_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/build_plan_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/large_buffer_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/graph_file_test.cc
)

sorvid_add_test(hnsw_threads_test LINKS sorvid_hnsw LABELS hnsw threads SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/index_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/live_index_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/seed_source_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/vector_index_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/filtered_search_test.cc
)
add_dependencies(tsan_tests hnsw_threads_test)
