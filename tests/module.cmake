# The LiDAR module's routines, their exports, and the installed package.
zandrel_add_test(module_update_header_test module/update_header_test.cpp)
zandrel_add_test(module_initialize_header_test module/initialize_header_test.cpp)
zandrel_add_test(module_quicksort_test module/quicksort_test.cpp)
find_package(Threads REQUIRED)
target_link_libraries(module_quicksort_test PRIVATE Threads::Threads)
zandrel_add_test(module_argument_checks_test module/argument_checks_test.cpp)

zandrel_add_test(module_exports_test module/exports_test.cpp)
target_compile_definitions(module_exports_test PRIVATE KELVANE_SHARED_LIB="$<TARGET_FILE:Kelvane_LiDAR>")
target_link_libraries(module_exports_test PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(module_exports_test Kelvane_LiDAR)

# The installed package, used by a program of another project.
add_test(NAME module_install_consumer
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/module/install_consumer.sh
          ${PROJECT_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/module/consumer ${CMAKE_C_COMPILER}
          ${CMAKE_INSTALL_LIBDIR})
set_tests_properties(module_install_consumer PROPERTIES TIMEOUT 300)
