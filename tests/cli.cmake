# The headless read-out as a process, against the meter simulator as a process.
orvek_add_test(tst_cli_read integration orvek_testsupport)
target_compile_definitions(tst_cli_read PRIVATE
  ORVEKDATA_PROGRAM="$<TARGET_FILE:orvekdata>"
  METERSIM_PATH="$<TARGET_FILE:orvek-metersim>")
add_dependencies(tst_cli_read orvekdata orvek-metersim)
set_tests_properties(tst_cli_read PROPERTIES TIMEOUT 300)
