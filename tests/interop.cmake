# The master against libmodbus's RTU slave over a socat pseudo-terminal pair.
enable_language(C)
find_package(PkgConfig REQUIRED)
pkg_check_modules(MODBUS REQUIRED IMPORTED_TARGET libmodbus)

add_executable(modbus_rtu_slave ${CMAKE_CURRENT_SOURCE_DIR}/modbus_rtu_slave.c)
target_link_libraries(modbus_rtu_slave PRIVATE PkgConfig::MODBUS)
set_target_properties(modbus_rtu_slave PROPERTIES AUTOMOC OFF)

add_executable(tst_interop ${CMAKE_CURRENT_SOURCE_DIR}/tst_interop.cpp)
target_link_libraries(tst_interop PRIVATE Qt6::Test orvek_testsupport)
target_compile_definitions(tst_interop PRIVATE
  MODBUS_SLAVE_PATH="$<TARGET_FILE:modbus_rtu_slave>")
add_dependencies(tst_interop modbus_rtu_slave)
add_test(NAME tst_interop COMMAND tst_interop)
set_tests_properties(tst_interop PROPERTIES
  LABELS integration
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8"
  TIMEOUT 120
  RESOURCE_LOCK pty)
