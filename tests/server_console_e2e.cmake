# The plugin through qgate-server's console and real UDP on 127.0.0.1: the
# status report, the switch variable, and the host's meta command, in both
# receive modes.
qg_add_test(server_console_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/server_console_e2e_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/server_e2e_support.cc)
find_package(Threads REQUIRED)
target_link_libraries(server_console_e2e_test PRIVATE Threads::Threads)
add_dependencies(server_console_e2e_test qgate-server quellgate_mm)
