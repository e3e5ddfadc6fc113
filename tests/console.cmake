# The console framework.  The registration walk runs at most once per
# process, so its tests run each case in a child process.
qg_add_test(console_registry_test
  SOURCES console_registry_test.cc console_exports_check.cc
  LIBS qg_console)
# Value buffers come from malloc; the test wraps it to count and fail them.
qg_add_test(console_convar_test
  SOURCES console_convar_test.cc
  LIBS qg_console)
target_link_options(console_convar_test PRIVATE -Wl,--wrap=malloc)
qg_add_test(console_concommand_test
  SOURCES console_concommand_test.cc
  LIBS qg_console)
qg_add_test(console_growable_test
  SOURCES console_growable_test.cc
  LIBS qg_console)
