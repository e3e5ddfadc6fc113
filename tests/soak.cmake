# The soak: qgate-server --net-thread under a 200,000-source flood while its
# console is driven, checked for exact agreement between the engine's
# counters, the plugin's report and the flood tool, for memory and for
# sanitizer reports.  Here it runs for 15 s (SOAK_SECONDS); `make soak`
# runs the same executable for longer and writes docs/soak.md.  It runs
# alone (it loads both cores), carries the label `soak` so that
# `ctest -LE soak` leaves it out, and skips itself without CAP_NET_RAW.
if(TARGET qgate-flood AND TARGET qgate-server)
  add_executable(soak_test
    ${CMAKE_CURRENT_LIST_DIR}/soak_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/soak_child.cc
    ${CMAKE_CURRENT_LIST_DIR}/soak_probes.cc
    ${CMAKE_CURRENT_LIST_DIR}/soak_report.cc
    ${CMAKE_CURRENT_LIST_DIR}/server_e2e_support.cc)
  target_link_libraries(soak_test PRIVATE GTest::gtest GTest::gtest_main)
  add_dependencies(soak_test qgate-flood qgate-server quellgate_mm)
  gtest_discover_tests(soak_test DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QG_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
               LABELS soak RUN_SERIAL TRUE TIMEOUT 600)
endif()
