# The meter simulator in-process, and its tool as a process.
foreach(name tst_metersim tst_sim_orvek307 tst_sim_ilm tst_sim_orvek213 tst_sim_expect)
  orvek_add_test(${name} integration orvek_metersim_lib orvek_testsupport)
endforeach()
# The program's read-out is what the expected files are held against.
target_link_libraries(tst_sim_expect PRIVATE orvek_readout)
target_compile_definitions(tst_sim_expect PRIVATE
  METERSIM_PATH="$<TARGET_FILE:orvek-metersim>"
  METERSIM_DEMO="${PROJECT_SOURCE_DIR}/tools/metersim/demo-meters.json")
add_dependencies(tst_sim_expect orvek-metersim)
# Reading on a noisy line costs the meters' pauses again for every lost reply.
set_tests_properties(tst_sim_expect PROPERTIES TIMEOUT 300)
target_compile_definitions(tst_metersim PRIVATE METERSIM_PATH="$<TARGET_FILE:orvek-metersim>")
