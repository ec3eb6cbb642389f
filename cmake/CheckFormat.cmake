# Fails when a C++ file of the tree is not formatted by the project's .clang-format.
file(GLOB_RECURSE sources
  ${ROOT}/app/*.cpp ${ROOT}/app/*.h
  ${ROOT}/common/*.cpp ${ROOT}/common/*.h
  ${ROOT}/channel/*.cpp ${ROOT}/channel/*.h
  ${ROOT}/drivers/*.cpp ${ROOT}/drivers/*.h
  ${ROOT}/readout/*.cpp ${ROOT}/readout/*.h
  ${ROOT}/ui/*.cpp ${ROOT}/ui/*.h
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
