sorvid_add_test(formats_test LABELS formats SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/quoted_text_test.cc
)
