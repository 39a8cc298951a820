# Faults and hostile input, end to end; the fuzzers' crash regressions; the
# merge past 4 GiB.

# Test-only library that changes files at a chosen opening of the list.
add_library(zandrel_list_interposer SHARED faults/list_interposer.c)
target_link_libraries(zandrel_list_interposer PRIVATE ${CMAKE_DL_LIBS})

zandrel_add_test(faults_test faults/faults_test.cpp)
target_compile_definitions(faults_test PRIVATE FAULT_INTERPOSER="$<TARGET_FILE:zandrel_list_interposer>")
add_dependencies(faults_test zandrel_list_interposer)

# The fuzz targets as plain functions, each entry point under its own name.
set(fuzz_sources)
foreach(target check_las update_header header_merge name_reader)
  set(source ${PROJECT_SOURCE_DIR}/fuzz/${target}_fuzzer.cpp)
  set_source_files_properties(${source} PROPERTIES
    COMPILE_DEFINITIONS LLVMFuzzerTestOneInput=fuzz_${target})
  list(APPEND fuzz_sources ${source})
endforeach()
zandrel_add_test(fuzz_regressions_test faults/fuzz_regressions_test.cpp ${fuzz_sources})
target_include_directories(fuzz_regressions_test PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)

# The merge past 4 GiB writes 5 GiB: a test of its own, labelled large, so
# that a quick run can leave it out (ctest -LE large).
add_executable(large_file_test faults/large_file_test.cpp)
target_include_directories(large_file_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(large_file_test PRIVATE Kelvane_LiDAR_static zandrel_core GTest::gtest_main)
target_compile_definitions(large_file_test PRIVATE
  ZANDREL_EXE="$<TARGET_FILE:Zandrel>"
  LASGEN_EXE="$<TARGET_FILE:lasgen>"
  ZANDREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(large_file_test Zandrel lasgen)
add_test(NAME large_file_test COMMAND large_file_test)
set_tests_properties(large_file_test PROPERTIES
  LABELS large TIMEOUT 1800 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
