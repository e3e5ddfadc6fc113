# The engine's console service: console lines against registered objects,
# and a loaded plugin that keeps its own console framework globals.
qg_add_test(console_service_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/console_service_test.cc
  LIBS qg_engine_console qg_emu_host tier0)
# The test executable exports its framework's g_pCVar, as a module loaded
# with global symbols would: the plugin must still bind its own.
set_target_properties(console_service_test PROPERTIES ENABLE_EXPORTS ON)
add_dependencies(console_service_test quellgate_mm)
