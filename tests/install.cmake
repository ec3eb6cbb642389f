# The installed program as the desktop and man see it: cmake --install into a temporary
# prefix, then the entries, the icon, the .dat type and its handler, the manual page.
add_test(NAME install_files
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/install_check.sh --build ${CMAKE_BINARY_DIR})
set_tests_properties(install_files PROPERTIES
  LABELS integration
  ENVIRONMENT "CMAKE=${CMAKE_COMMAND}"
  SKIP_RETURN_CODE 77
  TIMEOUT 120)
