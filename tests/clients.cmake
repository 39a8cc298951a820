# Merged outputs read back by an independent LAS reader (loaders.gl under
# Node): generated files of every version and point format, and the mergeable
# groups of real third-party files. Skipped without node or without the
# reader's packages (npm ci in tests/reader).
add_test(NAME clients_independent_reader
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/reader/merge_and_read.sh
          $<TARGET_FILE:Zandrel> $<TARGET_FILE:lasgen> ${CMAKE_CURRENT_BINARY_DIR}/reader-scratch)
set_tests_properties(clients_independent_reader PROPERTIES
  SKIP_RETURN_CODE 77
  TIMEOUT 300
  LABELS clients)
