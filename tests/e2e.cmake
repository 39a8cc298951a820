zandrel_add_test(e2e_smoke_test e2e_smoke_test.cpp)
zandrel_add_test(e2e_merge_test e2e/merge_test.cpp)
zandrel_add_test(e2e_limits_test e2e/limits_test.cpp)
zandrel_add_test(e2e_realdata_test e2e/realdata_test.cpp)
