# Fails when a C++ file of the tree is not formatted by the project's .clang-format.
file(GLOB_RECURSE sources
  ${ROOT}/app/*.cpp ${ROOT}/app/*.h
  ${ROOT}/core/*.cpp ${ROOT}/core/*.h
  ${ROOT}/settings/*.cpp ${ROOT}/settings/*.h
  ${ROOT}/line/*.cpp ${ROOT}/line/*.h
  ${ROOT}/modbus/*.cpp ${ROOT}/modbus/*.h
  ${ROOT}/meters/*.cpp ${ROOT}/meters/*.h
  ${ROOT}/storage/*.cpp ${ROOT}/storage/*.h
  ${ROOT}/readout/*.cpp ${ROOT}/readout/*.h
  ${ROOT}/cli/*.cpp ${ROOT}/cli/*.h
  ${ROOT}/gui/*.cpp ${ROOT}/gui/*.h
  ${ROOT}/tools/*.cpp ${ROOT}/tools/*.h
  ${ROOT}/tests/*.cpp ${ROOT}/tests/*.h
  ${ROOT}/bench/*.cpp ${ROOT}/bench/*.h)
execute_process(
  COMMAND ${CLANG_FORMAT} --dry-run --Werror --style=file ${sources}
  WORKING_DIRECTORY ${ROOT}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "Some files are not formatted; run scripts/format.sh")
endif()
