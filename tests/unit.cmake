# Unit tests of the module's checks and of the two computing cores.
zandrel_add_test(unit_checks_test unit/checks_test.cpp)
zandrel_add_test(unit_las_core_test unit/las_core_test.cpp)
zandrel_add_test(unit_merge_core_test unit/merge_core_test.cpp)
