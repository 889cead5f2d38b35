# The installer packages the tests read, the same for both builds: wixl builds them from
# tests/module/packages into packages/ of the including folder's build folder
# (KRELL_TEST_PACKAGE_DIR), behind the target krell_test_packages.
find_program(KRELL_WIXL wixl)
if(NOT KRELL_WIXL)
  message(FATAL_ERROR "wixl (Debian package wixl) is needed to build the test installer packages; scripts/setup installs it")
endif()
set(KRELL_TEST_PACKAGE_DIR ${CMAKE_CURRENT_BINARY_DIR}/packages)
set(test_package_dir ${PROJECT_SOURCE_DIR}/tests/module/packages)
set(test_packages)
foreach(package listed noupgrade)
  set(package_file ${KRELL_TEST_PACKAGE_DIR}/${package}.msi)
  add_custom_command(OUTPUT ${package_file}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${KRELL_TEST_PACKAGE_DIR}
                     COMMAND ${KRELL_WIXL} -o ${package_file} ${test_package_dir}/${package}.wxs
                     WORKING_DIRECTORY ${test_package_dir}
                     DEPENDS ${test_package_dir}/${package}.wxs ${test_package_dir}/readme.txt
                     COMMENT "wixl ${package}.msi")
  list(APPEND test_packages ${package_file})
endforeach()
add_custom_target(krell_test_packages DEPENDS ${test_packages})
