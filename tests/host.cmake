# The plugin host: its API object, loading and unloading of test plugins and
# of the built quellgate_mm.so.
set(QG_HOST_TEST_PLUGINS)
# name;defines
foreach(variant
    "a|TEST_PLUGIN_NAME=\"TestA\";TEST_PLUGIN_OBJECTS=2"
    "b|TEST_PLUGIN_NAME=\"TestB\";TEST_PLUGIN_OBJECTS=1"
    "c|TEST_PLUGIN_NAME=\"TestC\""
    "nulltexts|TEST_PLUGIN_NAME=\"TestNull\";TEST_PLUGIN_NULL_TEXTS"
    "fail|TEST_PLUGIN_NAME=\"TestFail\";TEST_PLUGIN_OBJECTS=1;TEST_PLUGIN_FAIL"
    "noplugin|TEST_PLUGIN_NAME=\"TestNoPlugin\";TEST_PLUGIN_NO_PLUGIN"
    "nofactory|TEST_PLUGIN_NAME=\"TestNoFactory\";TEST_PLUGIN_NO_FACTORY")
  string(REPLACE "|" ";" parts "${variant}")
  list(GET parts 0 suffix)
  list(REMOVE_AT parts 0)
  set(target host_test_plugin_${suffix})
  add_library(${target} MODULE ${CMAKE_CURRENT_LIST_DIR}/host_test_plugin.cc)
  set_target_properties(${target} PROPERTIES PREFIX "")
  target_compile_definitions(${target} PRIVATE ${parts})
  list(APPEND QG_HOST_TEST_PLUGINS ${target})
endforeach()

qg_add_test(host_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_test.cc
  LIBS qg_emu_host tier0)
add_dependencies(host_test quellgate_mm ${QG_HOST_TEST_PLUGINS})

# The host's console command "meta", on a real console service.
qg_add_test(host_meta_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_meta_test.cc
  LIBS qg_emu_meta tier0)
add_dependencies(host_meta_test quellgate_mm ${QG_HOST_TEST_PLUGINS})

# The network thread's pause handshake, which the host relies on around
# every load and unload.
qg_add_test(host_quiesce_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_quiesce_test.cc
  LIBS qg_emu_server tier0)
add_dependencies(host_quiesce_test quellgate_mm)
