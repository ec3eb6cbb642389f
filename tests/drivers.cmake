# Driver tests: scripted replies on a real line, and full passes over the simulator.
foreach(name tst_driverset tst_driver_orvek307 tst_driver_ilm tst_driver_orvek213)
  orvek_add_test(${name} integration orvek_drivers orvek_metersim_lib orvek_testsupport)
endforeach()
