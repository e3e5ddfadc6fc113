# Allocation failure at every allocation site: the library's heap through
# the link-time wrappers of tests/support, the engine allocator through
# tier0's own injection.
include(${CMAKE_CURRENT_LIST_DIR}/support/fail_nth_alloc.cmake)

qg_add_test(fault_injection_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fault_injection_test.cc
  LIBS qg_library)
qg_use_fail_nth_alloc(fault_injection_test)
