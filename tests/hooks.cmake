# The hook glue and the emulated hook service.  The glue refers to the
# module-wide host handles, compiled in directly here.
qg_add_test(hooks_slot_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hooks_slot_test.cc
          ${PROJECT_SOURCE_DIR}/plugin/host_handles.cc
  LIBS qg_hooks)
qg_add_test(hooks_glue_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hooks_glue_test.cc
          ${PROJECT_SOURCE_DIR}/plugin/host_handles.cc
  LIBS qg_hooks)
qg_add_test(hook_service_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hook_service_test.cc
          ${PROJECT_SOURCE_DIR}/plugin/host_handles.cc
  LIBS qg_hooks qg_emu_host)

# The same hook on the emulated engine's console service, where it exists.
if(TARGET qg_engine_console)
  qg_add_test(hook_service_console_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hook_service_console_test.cc
            ${PROJECT_SOURCE_DIR}/plugin/host_handles.cc
    LIBS qg_hooks qg_engine_console qg_emu_host qg_console)
endif()

if(QG_BUILD_FUZZ)
  include(${CMAKE_CURRENT_LIST_DIR}/fuzz/CMakeLists.txt)
endif()
