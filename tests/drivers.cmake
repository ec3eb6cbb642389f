# Driver tests: scripted replies on a real line, and full passes over the simulator.
foreach(name tst_driverset tst_driver_orvek307 tst_driver_ilm tst_driver_orvek213)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp AND TARGET orvek_metersim_lib)
    orvek_add_test(${name} integration orvek_drivers orvek_metersim_lib orvek_testsupport)
  endif()
endforeach()
