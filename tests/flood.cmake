# qgate-flood: its parts directly, and the binary against receivers over
# loopback.
if(TARGET qgate-flood)
  qg_add_test(flood_test
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/flood_test.cc
    LIBS qg_flood_core)
  add_dependencies(flood_test qgate-flood)
endif()
