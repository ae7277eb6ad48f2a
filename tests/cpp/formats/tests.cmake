sorvid_add_test(formats_test LINKS sorvid_formats LABELS formats SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/quoted_text_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/json_writer_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/float_text_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/quick_float_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/json_reader_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/wal_record_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/snapshot_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/snapshot_chunks_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/vector_file_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/entry_list_writer_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/text_buffer_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/utf8_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/json_test_suite_test.cc
)
# The JSONTestSuite corpus, vendored with its licence.
target_compile_definitions(formats_test PRIVATE
  SORVID_JSON_TEST_SUITE_DIR="${PROJECT_SOURCE_DIR}/tests/data/jsontestsuite")
