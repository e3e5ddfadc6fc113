# qgate-server end to end, over UDP on 127.0.0.1, with and without the
# plugin.
qg_add_test(server_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/server_e2e_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/server_e2e_support.cc)
if(TARGET server_e2e_test)
  add_dependencies(server_e2e_test qgate-server quellgate_mm)
endif()
