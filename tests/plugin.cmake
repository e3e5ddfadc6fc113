qg_add_test(plugin_core_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/plugin_core_test.cc
          ${PROJECT_SOURCE_DIR}/plugin/exports.cc
  LIBS qg_library)

qg_add_test(attacker_table_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/attacker_table_test.cc
  LIBS qg_library)

qg_add_test(plugin_controls_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/plugin_controls_test.cc
  LIBS qg_library)

qg_add_test(plugin_registration_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/plugin_registration_test.cc
          ${PROJECT_SOURCE_DIR}/plugin/exports.cc
  LIBS qg_library)
