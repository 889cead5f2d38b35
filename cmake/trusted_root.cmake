# The root certificate the signature check trusts, embedded at build time; both builds use it. A release
# build names its own root certificate (DER) here.
set(KRELL_TRUSTED_ROOT_DER ${PROJECT_SOURCE_DIR}/certs/dev/dev-root.der CACHE FILEPATH
    "DER root certificate that manifest signatures must chain to (default: the development root)")
file(READ ${KRELL_TRUSTED_ROOT_DER} trusted_root_hex HEX)
if(trusted_root_hex STREQUAL "")
  message(FATAL_ERROR "KRELL_TRUSTED_ROOT_DER (${KRELL_TRUSTED_ROOT_DER}) is empty or missing")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," KRELL_TRUSTED_ROOT_BYTES "${trusted_root_hex}")
get_filename_component(KRELL_TRUSTED_ROOT_DER_NAME ${KRELL_TRUSTED_ROOT_DER} NAME)
set(KRELL_TRUSTED_ROOT_SOURCE ${CMAKE_BINARY_DIR}/trusted_root.cpp)
configure_file(${PROJECT_SOURCE_DIR}/src/signature/trusted_root.cpp.in ${KRELL_TRUSTED_ROOT_SOURCE} @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KRELL_TRUSTED_ROOT_DER})
