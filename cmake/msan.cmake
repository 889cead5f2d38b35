# MemorySanitizer (msan preset): every line that touches our bytes must be instrumented, and the
# system's libstdc++ is not. With its extern template declarations switched off, strings, streams and
# containers are instantiated, and instrumented, in our objects; fuzz/msan_*_links.cpp mark what the
# shared library still writes. The switch is a copy of the library's configuration header with that one
# line changed, found first on the include path.
set(msan_probe ${CMAKE_BINARY_DIR}/msan_probe.cpp)
file(WRITE ${msan_probe} "#include <bits/c++config.h>\n")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -E -M ${msan_probe} OUTPUT_VARIABLE msan_deps RESULT_VARIABLE msan_result)
string(REGEX MATCH "[^ \\\\\n]*/bits/c\\+\\+config\\.h" stdcxx_config "${msan_deps}")
if(NOT msan_result EQUAL 0 OR NOT stdcxx_config)
  message(FATAL_ERROR "msan: the C++ library's bits/c++config.h was not found")
endif()
file(READ ${stdcxx_config} stdcxx_config_text)
string(REGEX REPLACE "# define _GLIBCXX_EXTERN_TEMPLATE -?1\n" "# define _GLIBCXX_EXTERN_TEMPLATE 0\n" stdcxx_config_text
                     "${stdcxx_config_text}")
if(NOT stdcxx_config_text MATCHES "_GLIBCXX_EXTERN_TEMPLATE 0")
  message(FATAL_ERROR "msan: ${stdcxx_config} has no extern template switch")
endif()
set(msan_include ${CMAKE_BINARY_DIR}/msan_include)
file(WRITE ${msan_include}/bits/c++config.h "${stdcxx_config_text}")
include_directories(BEFORE SYSTEM ${msan_include})
