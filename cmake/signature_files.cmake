# The signature check's cases as files, made with the openssl command line from the development
# certificates (tests/signature/make_signature_files.sh); both builds' signature tests judge them.
find_program(KRELL_OPENSSL openssl)
if(NOT KRELL_OPENSSL)
  message(FATAL_ERROR "the openssl command line (Debian package openssl) signs the signature tests' files; scripts/setup installs it")
endif()
set(KRELL_SIGNATURE_FILES_DIR ${CMAKE_BINARY_DIR}/signature_files)
set(signature_files_script ${PROJECT_SOURCE_DIR}/tests/signature/make_signature_files.sh)
add_custom_command(OUTPUT ${KRELL_SIGNATURE_FILES_DIR}/signer.sig
                   COMMAND ${CMAKE_COMMAND} -E env OPENSSL=${KRELL_OPENSSL} ${signature_files_script}
                           ${PROJECT_SOURCE_DIR}/certs/dev ${KRELL_SIGNATURE_FILES_DIR}
                   DEPENDS ${signature_files_script} ${PROJECT_SOURCE_DIR}/certs/dev/dev-root.pem
                           ${PROJECT_SOURCE_DIR}/certs/dev/dev-signer.pem
                   COMMENT "Signing the signature check's cases")
add_custom_target(krell_signature_files DEPENDS ${KRELL_SIGNATURE_FILES_DIR}/signer.sig)
