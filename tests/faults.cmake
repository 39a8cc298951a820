# Faults and hostile input, end to end; the fuzzers' crash regressions; the
# merge past 4 GiB.

# Test-only library that changes files at a chosen opening of the list.
add_library(zandrel_list_interposer SHARED faults/list_interposer.c)
target_link_libraries(zandrel_list_interposer PRIVATE ${CMAKE_DL_LIBS})

zandrel_add_test(faults_test faults/faults_test.cpp)
target_compile_definitions(faults_test PRIVATE FAULT_INTERPOSER="$<TARGET_FILE:zandrel_list_interposer>")
add_dependencies(faults_test zandrel_list_interposer)
