# qgate-flood against qgate-server over UDP on 127.0.0.1: the tool's
# summary, the plugin's status report and the server's counters agree.
if(TARGET qgate-flood AND TARGET qgate-server)
  qg_add_test(flood_server_e2e_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/flood_server_e2e_test.cc
            ${CMAKE_CURRENT_LIST_DIR}/server_e2e_support.cc)
  add_dependencies(flood_server_e2e_test qgate-flood qgate-server quellgate_mm)
endif()
