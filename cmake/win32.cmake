# The 32-bit Windows build: the seam's Win32 half and the libraries with no service of their own, with
# their unit tests (run under Wine by ctest). What is left out, and why, is in docs/windows.md.
set(src ${PROJECT_SOURCE_DIR}/src)

# The C runtime's printf family with C99 conversions (%zu, %lld), as on Linux; gmtime_r and
# localtime_r.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1 _POSIX_THREAD_SAFE_FUNCTIONS=200112L)
# The compiler checks "printf" formats against msvcrt's conversions, not those of the runtime above;
# the Linux build checks the same format strings.
add_compile_options(-Wno-format)

krell_sources(platform_sources src/platform/win32)
add_library(krell_platform STATIC ${platform_sources} ${src}/platform/format.cpp ${src}/platform/utf8.cpp
                                   ${src}/platform/errno_codes.cpp ${src}/platform/xpath_names.cpp
                                   ${src}/platform/xml_document.cpp)
target_include_directories(krell_platform PUBLIC ${src})
# The XML DOM is MSXML, through COM.
target_link_libraries(krell_platform PUBLIC Threads::Threads advapi32 netapi32 ole32 oleaut32)
# Known folders, the system's version and UUIDs; the error texts' shared half.
target_link_libraries(krell_platform PUBLIC shell32 ntdll rpcrt4)
# Mini-dumps.
target_link_libraries(krell_platform PUBLIC dbghelp)
target_sources(krell_platform PRIVATE ${src}/platform/error_text.cpp ${src}/platform/account_names.cpp)
# GUIDs, for COM activation.
target_sources(krell_platform PRIVATE ${src}/platform/com.cpp ${src}/platform/com_activation.cpp)

krell_sources(crypto_sources src/crypto src/crypto/win32)
add_library(krell_crypto STATIC ${crypto_sources})
target_link_libraries(krell_crypto PUBLIC krell_platform bcrypt)

krell_sources(kcfile_sources src/kcfile)
add_library(krell_kcfile STATIC ${kcfile_sources})
target_link_libraries(krell_kcfile PUBLIC krell_crypto)

krell_sources(srtc_sources src/srtc)
add_library(krell_srtc STATIC ${srtc_sources})
target_include_directories(krell_srtc PUBLIC ${src})

# The debug log with its options, which it reads from the registry.
add_library(krell_debug_log STATIC ${src}/diagnostics/user_debug_output.cpp ${src}/diagnostics/debug_options.cpp
                                   ${src}/diagnostics/fixed_text.cpp ${src}/service/registry_key.cpp)
target_link_libraries(krell_debug_log PUBLIC krell_platform)

# The crash handler over the unhandled-exception filter and dbghelp. The runtime's pure-virtual and
# stack-protector hooks are taken over with --wrap: libsupc++ and libssp define them in objects that
# the program needs anyway, so a definition of the program's own would collide.
add_library(krell_crash_handler STATIC ${src}/diagnostics/crash_handler.cpp
                                       ${src}/diagnostics/win32/crash_handler_win32.cpp)
target_link_libraries(krell_crash_handler PUBLIC krell_debug_log)
target_compile_definitions(krell_crash_handler PRIVATE
                           KRELL_FILE_VERSION="${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.0")
target_compile_options(krell_crash_handler PRIVATE -fstack-protector-strong)
# RtlCaptureContext reads its caller's frame through EBP: the snapshot needs a frame pointer.
set_source_files_properties(${src}/diagnostics/win32/crash_handler_win32.cpp PROPERTIES
                            COMPILE_OPTIONS -fno-omit-frame-pointer)
target_link_options(krell_crash_handler INTERFACE -fstack-protector-strong -Wl,--wrap=__cxa_pure_virtual
                    -Wl,--wrap=__stack_chk_fail)

# The driver channel's messages and property bags, and the chunk transport that carries them over a
# device handle.
add_library(krell_sync_objects STATIC ${src}/service/sync_objects.cpp)
target_link_libraries(krell_sync_objects PUBLIC krell_debug_log)
add_library(krell_channel STATIC ${src}/channel/messages.cpp ${src}/channel/property_bag.cpp
                                 ${src}/channel/chunk_channel.cpp ${src}/channel/message_channel.cpp)
target_link_libraries(krell_channel PUBLIC krell_sync_objects)

# kctool, with the KC data file writer of the compiler it builds files with.
add_library(krell_kctool_output STATIC ${PROJECT_SOURCE_DIR}/tools/kctool_output.cpp
                                       ${PROJECT_SOURCE_DIR}/tools/kctool_rules.cpp)
target_include_directories(krell_kctool_output PUBLIC ${PROJECT_SOURCE_DIR}/tools
                           PRIVATE ${PROJECT_SOURCE_DIR}/sim/common)
target_link_libraries(krell_kctool_output PUBLIC krell_kcfile krell_srtc krell_debug_log)
krell_program(kctool ${PROJECT_SOURCE_DIR}/tools/kctool.cpp ${PROJECT_SOURCE_DIR}/tools/arguments.cpp
              ${src}/compiler/kt_data_file.cpp ${src}/compiler/file.cpp)
target_include_directories(kctool PRIVATE ${PROJECT_SOURCE_DIR}/sim/common)
target_link_libraries(kctool PRIVATE krell_kctool_output)

# The rule templates as real RCDATA resources 1601-1603: the template cipher, run under Wine, writes
# their enciphered bytes and a resource script, which windres compiles into the programs that link
# krell_image_resources.
enable_language(RC)
add_executable(krell_template_cipher ${PROJECT_SOURCE_DIR}/templates/template_cipher.cpp)
target_include_directories(krell_template_cipher PRIVATE ${src})
target_link_libraries(krell_template_cipher PRIVATE krell_crypto)
set(template_dir ${PROJECT_SOURCE_DIR}/templates)
set(template_files ${template_dir}/authorization.xml ${template_dir}/exclusion.xml
                   ${template_dir}/protected-resources.xml)
set(image_resources ${CMAKE_BINARY_DIR}/image_resources)
add_custom_command(OUTPUT ${image_resources}.rc
                   BYPRODUCTS ${image_resources}.1601.bin ${image_resources}.1602.bin ${image_resources}.1603.bin
                   COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:krell_template_cipher> ${image_resources}.rc
                           1601=${template_dir}/authorization.xml 1602=${template_dir}/exclusion.xml
                           1603=${template_dir}/protected-resources.xml
                   DEPENDS krell_template_cipher ${template_files}
                   COMMENT "Enciphering the rule templates into ${image_resources}.rc"
                   VERBATIM)
add_library(krell_image_resources OBJECT ${image_resources}.rc)

# The intermediate configuration: its nodes, and the rule converter they hold, with the object
# loader that brings in the rule preprocessor and the settings helpers that find its directory.
add_library(krell_intermediate STATIC
            ${src}/compiler/intermediate_configuration.cpp ${src}/compiler/ic_nodes.cpp
            ${src}/compiler/rule_converter.cpp ${src}/compiler/converter_values.cpp ${src}/compiler/error_stack.cpp
            ${src}/events/object_loader.cpp ${src}/settings/settings_helpers.cpp ${src}/service/installed_apps.cpp)
target_link_libraries(krell_intermediate PUBLIC krell_crypto krell_srtc krell_sync_objects)

# The signature check over crypt32 (certificates and CMS messages) against the embedded root.
include(${PROJECT_SOURCE_DIR}/cmake/trusted_root.cmake)
krell_sources(signature_sources src/signature src/signature/win32)
add_library(krell_signature STATIC ${signature_sources} ${KRELL_TRUSTED_ROOT_SOURCE})
target_link_libraries(krell_signature PUBLIC krell_crypto crypt32)

# The rule document compiler, reading the platform's XML DOM (MSXML) through sim/rulegen/win32/rule_tree.h,
# and ktRGen.dll, the rule preprocessor over it, which the object loader finds by its GetFactory.
set(rulegen_dir ${PROJECT_SOURCE_DIR}/sim/rulegen)
add_library(krell_rulegen STATIC ${rulegen_dir}/rule_compiler.cpp ${rulegen_dir}/win32/rule_tree.cpp)
target_include_directories(krell_rulegen PUBLIC ${rulegen_dir} PRIVATE ${rulegen_dir}/win32)
target_link_libraries(krell_rulegen PUBLIC krell_srtc krell_platform)
add_library(ktRGen SHARED ${rulegen_dir}/ktrgen.cpp)
target_include_directories(ktRGen PRIVATE ${src})
target_link_libraries(ktRGen PRIVATE krell_rulegen)
target_link_options(ktRGen PRIVATE -static)
set_target_properties(ktRGen PROPERTIES OUTPUT_NAME ktRGen PREFIX "" SUFFIX ".dll"
                                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The system's own components and the service executable, over the real service control manager.
# The libraries above already hold part of these folders; krell_system has the rest and links them.
krell_sources(system_sources src/service src/service/win32 src/diagnostics src/module src/compiler src/events
              src/settings src/channel src/manifest)
get_target_property(system_parts_debug_log krell_debug_log SOURCES)
get_target_property(system_parts_crash krell_crash_handler SOURCES)
get_target_property(system_parts_sync krell_sync_objects SOURCES)
get_target_property(system_parts_channel krell_channel SOURCES)
get_target_property(system_parts_intermediate krell_intermediate SOURCES)
list(REMOVE_ITEM system_sources ${system_parts_debug_log} ${system_parts_crash} ${system_parts_sync}
     ${system_parts_channel} ${system_parts_intermediate})
add_library(krell_system STATIC ${system_sources})
target_link_libraries(krell_system PUBLIC krell_crash_handler krell_channel krell_intermediate krell_kcfile
                                          krell_signature)
target_compile_options(krell_system PRIVATE -fstack-protector-strong)
target_compile_definitions(krell_system PRIVATE
                           KRELL_FILE_VERSION="${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.0")
# The rule templates are resources of the image: linked into the program itself, since the linker
# takes nothing from a static library that no symbol asks for.
krell_program(krellsvc ${src}/krellsvc/main.cpp)
target_link_libraries(krellsvc PRIVATE krell_system krell_image_resources)
target_compile_options(krellsvc PRIVATE -fstack-protector-strong)

if(NOT KRELL_BUILD_TESTS)
  return()
endif()

# GoogleTest from Debian's sources (googletest), built with the cross compiler.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(KRELL_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources")
add_subdirectory(${KRELL_GOOGLETEST_SOURCE_DIR} googletest EXCLUDE_FROM_ALL)

enable_testing()
include(GoogleTest)
set(tests ${PROJECT_SOURCE_DIR}/tests)

# Each test is a process of its own. The first Wine process of a session starts the server and Wine's
# own background programs, which keep that test's output pipe, and so ctest's wait, open until they
# end; left alone they end seconds after every test. So the session is started once, detached from
# any test's output, kept for the run and for half a minute at most after it.
find_program(KRELL_WINESERVER wineserver REQUIRED)
set(wine_environment WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=)
add_test(NAME wineserver_start COMMAND setsid sh -c
         "exec </dev/null >/dev/null 2>&1; ${KRELL_WINESERVER} -p30; ${KRELL_WINE} wineboot")
set_tests_properties(wineserver_start PROPERTIES ENVIRONMENT "${wine_environment}")
add_test(NAME wineserver_stop COMMAND ${KRELL_WINESERVER} -k)
set_tests_properties(wineserver_stop PROPERTIES ENVIRONMENT "${wine_environment}")
set_tests_properties(wineserver_start PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wineserver_stop PROPERTIES FIXTURES_CLEANUP wine)

# The same test sources as the Linux build, one program per area. A test process here needs no
# machine root of its own: the Wine prefix of the build folder is the machine.
function(krell_win32_tests area)
  cmake_parse_arguments(arg "" "FILTER" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT arg_FILTER)
    set(arg_FILTER "*")
  endif()
  add_executable(krell_${area}_tests ${arg_SOURCES})
  target_include_directories(krell_${area}_tests PRIVATE ${tests})
  target_link_libraries(krell_${area}_tests PRIVATE ${arg_LIBRARIES} gtest_main gmock)
  gtest_discover_tests(krell_${area}_tests TEST_FILTER ${arg_FILTER} DISCOVERY_TIMEOUT 120
                       PROPERTIES TIMEOUT 120 FIXTURES_REQUIRED wine)
endfunction()

krell_win32_tests(platform SOURCES ${tests}/platform/format_test.cpp ${tests}/platform/strings_test.cpp
                  ${tests}/platform/accounts_test.cpp ${tests}/platform/win32/event_log_test.cpp
                  ${tests}/platform/win32/local_accounts_test.cpp
                  ${tests}/platform/system_time_test.cpp ${tests}/platform/thread_test.cpp LIBRARIES krell_platform
                  # Wine's SystemTimeToFileTime takes 2023-02-29 and the year 30828, which the
                  # platform refuses; a thread's ExitThread and TerminateThread unwind its frames only
                  # on POSIX; Wine's ConvertStringSidToSidW takes malformed SIDs, refuses S-1-0 and
                  # misreads hexadecimal authorities; Wine's event log keeps no records to read back
                  # (see docs/windows.md).
                  FILTER "-SystemTime.ConvertsBetweenTicksAndCalendar:SystemTime.RefusesFieldsOutOfRange:Threads.ExitThreadUnwindsAndSetsTheCode:Threads.TerminateEndsAThreadThatIgnoresItsStopRequest:SidStringTest.RefusesMalformedText:Forms/SidStringTest.ConvertsBothWays/6:Forms/SidStringTest.ConvertsBothWays/7:EventLogTest.ReadsTheRecordBack")
krell_win32_tests(crypto SOURCES ${tests}/crypto/sha1_test.cpp LIBRARIES krell_crypto)
krell_win32_tests(kcfile SOURCES ${tests}/kcfile/kc_reader_test.cpp ${tests}/kcfile/kc_sections_test.cpp
                  ${tests}/kcfile/kc_writer_test.cpp ${tests}/kcfile/fuzz_corpus_test.cpp
                  ${PROJECT_SOURCE_DIR}/fuzz/kc_reader_fuzz.cpp LIBRARIES krell_kcfile)
target_compile_definitions(krell_kcfile_tests PRIVATE KRELL_KC_CORPUS_DIR="${PROJECT_SOURCE_DIR}/fuzz/corpus/kc_reader")
krell_win32_tests(diagnostics SOURCES ${tests}/diagnostics/fixed_text_test.cpp LIBRARIES krell_debug_log)
# These read the debug log back (tests/support/debug_log.h).
add_library(krell_test_files STATIC ${tests}/support/files.cpp)
target_include_directories(krell_test_files PUBLIC ${tests})
target_link_libraries(krell_test_files PUBLIC krell_platform gtest)
krell_win32_tests(channel SOURCES ${tests}/channel/encoding_test.cpp LIBRARIES krell_channel krell_test_files)
krell_win32_tests(intermediate SOURCES ${tests}/compiler/intermediate_configuration_test.cpp
                  ${tests}/compiler/error_stack_test.cpp LIBRARIES krell_intermediate krell_test_files)
# Wine's MSXML reports every parse error as E_FAIL at line 0, position 0, reason "error".
krell_win32_tests(xml SOURCES ${tests}/platform/xml_dom_test.cpp LIBRARIES krell_platform krell_test_files
                  FILTER "-XmlDom.ParseErrorsCarryCodeLineAndPosition")
target_compile_definitions(krell_xml_tests PRIVATE KRELL_RULE_DOCUMENT_DIR="${tests}/compiler/golden")

# The SRTC library with the rule compiler over MSXML: golden bytes, the evaluator over compiled
# documents, the reader's fuzz corpus, and ktRGen.dll loaded by the object loader from the product
# directory of the prefix.
krell_win32_tests(srtc SOURCES ${tests}/srtc/evaluator_test.cpp ${tests}/srtc/format_test.cpp
                  ${tests}/srtc/fuzz_corpus_test.cpp ${tests}/srtc/item_coding_test.cpp ${tests}/srtc/packed_test.cpp
                  ${tests}/srtc/ktrgen_test.cpp ${PROJECT_SOURCE_DIR}/fuzz/srtc_reader_fuzz.cpp
                  LIBRARIES krell_rulegen krell_intermediate)
add_dependencies(krell_srtc_tests ktRGen)
target_compile_definitions(krell_srtc_tests PRIVATE KRELL_SRTC_GOLDEN_DIR="${tests}/srtc/golden"
                           KRELL_SRTC_CORPUS_DIR="${PROJECT_SOURCE_DIR}/fuzz/corpus/srtc_reader")

# KC files of the two builds compared, with the Linux kctool of the default preset.
set(KRELL_LINUX_KCTOOL ${PROJECT_SOURCE_DIR}/build/default/bin/kctool CACHE FILEPATH
    "The Linux build's kctool, to compare KC files with")
add_test(NAME kc_files_across_platforms
         COMMAND ${tests}/tools/kc_across_platforms.sh ${KRELL_LINUX_KCTOOL} $<TARGET_FILE:kctool>)
set_tests_properties(kc_files_across_platforms PROPERTIES ENVIRONMENT "${wine_environment}"
                     FIXTURES_REQUIRED wine SKIP_RETURN_CODE 77)

# The formatter against msvcrt's own _snwprintf.
target_sources(krell_platform_tests PRIVATE ${tests}/platform/win32/format_crt_test.cpp)

# The seam's facilities over the system's services: libraries and resources, file mappings, folder
# changes, known folders and version, command line, UUIDs, error texts. NoFactory.dll is the library
# the loading test finds beside the program.
add_library(krell_test_no_factory SHARED ${tests}/platform/lib_no_factory.cpp)
target_include_directories(krell_test_no_factory PRIVATE ${src})
target_link_options(krell_test_no_factory PRIVATE -static-libgcc)
set_target_properties(krell_test_no_factory PROPERTIES OUTPUT_NAME NoFactory PREFIX "" SUFFIX ".dll"
                                                       RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
krell_win32_tests(platform_services SOURCES ${tests}/platform/resource_test.cpp ${tests}/platform/library_test.cpp
                  ${tests}/platform/file_mapping_test.cpp ${tests}/platform/dir_watch_test.cpp
                  ${tests}/platform/known_folders_test.cpp ${tests}/platform/process_test.cpp
                  ${tests}/platform/uuid_test.cpp ${tests}/platform/error_text_test.cpp
                  LIBRARIES krell_platform krell_image_resources
                  # Left out (docs/windows.md): the POSIX half's single session and its resource
                  # tables of numbered resources; Wine's own error texts, its named mappings that go
                  # with their last handle, and its folder change records.
                  FILTER "-FileMapping.SpellingsOfOneNameShareOneMapping:Resources.OnlyNumberedResourcesOfLoadedModules:ErrorText.NumbersComeWithThePlatformsText:FileMapping.AViewKeepsItsMappingAndNameAfterTheHandleCloses:DirWatch.*")
add_dependencies(krell_platform_services_tests krell_test_no_factory)

# The KC file benchmark, with a harness of Google Benchmark's interface (bench/win32): Debian has no
# sources of the library to cross-build. scripts/bench-kcfile-platforms runs it beside the Linux one.
add_executable(krell_kcfile_bench ${PROJECT_SOURCE_DIR}/bench/kcfile_bench.cpp ${src}/compiler/kt_data_file.cpp
                                  ${src}/compiler/file.cpp)
target_include_directories(krell_kcfile_bench PRIVATE ${PROJECT_SOURCE_DIR}/bench/win32)
target_link_libraries(krell_kcfile_bench PRIVATE krell_kcfile krell_debug_log)
# A brief run of it, as the Linux build's bench_quick tests do, so a harness or benchmark that no longer
# runs fails here.
add_test(NAME bench_quick_kcfile COMMAND krell_kcfile_bench --benchmark_min_time=0.01)
set_tests_properties(bench_quick_kcfile PROPERTIES LABELS bench TIMEOUT 300 FIXTURES_REQUIRED wine
                     FAIL_REGULAR_EXPRESSION "ERROR OCCURRED;Failed to match any benchmarks"
                     PASS_REGULAR_EXPRESSION "CKTDataFile / \\(SHA-1 \\+ plain write\\): [0-9]")

# Installer packages through msi.dll, tested over the packages wixl builds for the Linux tests. The
# package reader program, its misbehaviour and its records are the POSIX half's own
# (msi_reader_posix_test.cpp).
target_link_libraries(krell_platform PUBLIC msi)
include(${PROJECT_SOURCE_DIR}/cmake/test_packages.cmake)
krell_win32_tests(msi SOURCES ${tests}/platform/msi_test.cpp LIBRARIES krell_platform krell_test_files)
target_compile_definitions(krell_msi_tests PRIVATE KRELL_TEST_PACKAGE_DIR="${KRELL_TEST_PACKAGE_DIR}")
add_dependencies(krell_msi_tests krell_test_packages)

# The signature check over the files the openssl command line signs at build time, and the guard
# files' parser with its fuzz corpus. guard_verifier_test.cpp makes its certificates with OpenSSL's
# API, which the Windows build does not have.
include(${PROJECT_SOURCE_DIR}/cmake/signature_files.cmake)
krell_win32_tests(signature SOURCES ${tests}/signature/signature_files_test.cpp ${tests}/signature/guard_file_test.cpp
                  ${tests}/signature/fuzz_corpus_test.cpp ${PROJECT_SOURCE_DIR}/fuzz/guard_file_fuzz.cpp
                  LIBRARIES krell_signature krell_test_files)
add_dependencies(krell_signature_tests krell_signature_files)
target_compile_definitions(krell_signature_tests PRIVATE KRELL_SIGNATURE_FILES_DIR="${KRELL_SIGNATURE_FILES_DIR}"
                           KRELL_DEV_CERT_DIR="${PROJECT_SOURCE_DIR}/certs/dev"
                           KRELL_GUARD_CORPUS_DIR="${PROJECT_SOURCE_DIR}/fuzz/corpus/guard_file")
# The signature check's fuzz corpus, as the Linux build's manifest tests replay it.
krell_win32_tests(signature_corpus SOURCES ${tests}/manifest/fuzz_corpus_test.cpp
                  ${PROJECT_SOURCE_DIR}/fuzz/signature_check_fuzz.cpp ${tests}/support/dev_root.cpp
                  LIBRARIES krell_signature krell_test_files)
target_include_directories(krell_signature_corpus_tests PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
target_compile_definitions(krell_signature_corpus_tests PRIVATE KRELL_DEV_CERT_DIR="${PROJECT_SOURCE_DIR}/certs/dev"
                           KRELL_SIGNATURE_CORPUS_DIR="${PROJECT_SOURCE_DIR}/fuzz/corpus/signature_check")
# The install authorization's package reading (CInstallIdentifier), with the settings helpers and the
# object loader of the intermediate configuration's library. The package reader's fuzz corpus replays
# through it.
add_library(krell_install_authorization STATIC ${src}/module/install_identifier.cpp)
target_include_directories(krell_install_authorization PUBLIC ${src})
target_link_libraries(krell_install_authorization PUBLIC krell_channel krell_intermediate)
krell_win32_tests(msi_corpus SOURCES ${tests}/platform/msi_corpus_replay_test.cpp
                  LIBRARIES krell_install_authorization krell_platform)
target_include_directories(krell_msi_corpus_tests PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
target_compile_definitions(krell_msi_corpus_tests PRIVATE KRELL_MSI_CORPUS_DIR="${PROJECT_SOURCE_DIR}/fuzz/corpus/msi_reader")

# The service control manager: the test service program, run by Wine's services.exe, and the tests
# that install, start, stop and delete it in the build's Wine prefix.
add_executable(krell_child_service ${tests}/scm/child_service.cpp)
target_link_libraries(krell_child_service PRIVATE krell_platform)
krell_win32_tests(scm SOURCES ${tests}/scm/service_api_test.cpp LIBRARIES krell_platform
                  # Wine's services.exe answers a process that ends before connecting with a timeout
                  # at once, leaves the status of a refused control unfilled, answers an unknown
                  # configuration level with an RPC error and reads through an invented handle
                  # (docs/windows.md).
                  FILTER "-ScmServiceApiTest.ProcessThatEndsBeforeConnectingFailsTheStart:ScmServiceApiTest.RefusedControlStillReportsTheStatus:ScmServiceApiTest.UnknownConfigurationLevelIsRefused:ScmServiceApiTest.InventedHandleIsRefused")
add_dependencies(krell_scm_tests krell_child_service)

# Mini-dumps through dbghelp, written by a crashing child from its unhandled-exception filter.
add_executable(krell_minidump_crasher ${tests}/platform/win32/minidump_crasher.cpp)
target_link_libraries(krell_minidump_crasher PRIVATE krell_platform)
krell_win32_tests(minidump SOURCES ${tests}/platform/win32/minidump_test.cpp LIBRARIES krell_platform)
add_dependencies(krell_minidump_tests krell_minidump_crasher)
# LLDB reads the dump written under Wine.
add_test(NAME minidump_read_by_lldb COMMAND ${tests}/tools/minidump_lldb.sh $<TARGET_FILE:krell_minidump_crasher>)
set_tests_properties(minidump_read_by_lldb PROPERTIES ENVIRONMENT "${wine_environment}" FIXTURES_REQUIRED wine
                     SKIP_RETURN_CODE 77)

# The crash handler: a child that fails in each of the platform's ways, run with the registry's
# options. The child smashes its own stack on purpose: every function gets a protector.
add_executable(krell_win32_crasher ${tests}/crash/win32/crasher.cpp)
target_link_libraries(krell_win32_crasher PRIVATE krell_crash_handler)
target_compile_options(krell_win32_crasher PRIVATE -fstack-protector-all)
krell_win32_tests(crash SOURCES ${tests}/crash/win32/crash_handler_test.cpp
                  LIBRARIES krell_debug_log krell_test_files)
add_dependencies(krell_crash_tests krell_win32_crasher)
# LLDB reads a dump that the crash handler wrote under Wine.
add_test(NAME crash_dump_read_by_lldb COMMAND ${tests}/tools/crash_dump_lldb.sh $<TARGET_FILE:krell_win32_crasher>)
set_tests_properties(crash_dump_read_by_lldb PROPERTIES ENVIRONMENT "${wine_environment}" FIXTURES_REQUIRED wine
                     SKIP_RETURN_CODE 77)

# COM activation of ComServer.dll, an in-process server registered in the prefix's HKCR by the tests,
# which the platform's entry (DllGetClassObject, __stdcall, exported undecorated as Windows expects)
# serves; safe arrays over oleaut32.
add_library(krell_test_com_server SHARED ${tests}/platform/lib_com_server.cpp)
target_include_directories(krell_test_com_server PRIVATE ${src})
target_link_options(krell_test_com_server PRIVATE -static -Wl,--kill-at)
set_target_properties(krell_test_com_server PROPERTIES OUTPUT_NAME ComServer PREFIX "" SUFFIX ".dll"
                                                       RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
krell_win32_tests(com SOURCES ${tests}/platform/com_activation_test.cpp ${tests}/platform/variant_test.cpp
                  LIBRARIES krell_platform krell_debug_log)
add_dependencies(krell_com_tests krell_test_com_server krell_test_no_factory)

# krellsvc.exe from outside, under Wine's services.exe: its command line, installing and removing
# itself, and its runs without the settings store and the driver (the test service program stands in
# for the event manager's and the driver's service entries).
krell_win32_tests(krellsvc SOURCES ${tests}/e2e/win32/krellsvc_test.cpp LIBRARIES krell_debug_log krell_test_files)
add_dependencies(krell_krellsvc_tests krellsvc krell_child_service)
# The host framework's own tests: the command line's tokens, the lock and event wrappers, and the COM
# apartment of its threads.
krell_win32_tests(service SOURCES ${tests}/service/command_line_test.cpp ${tests}/service/sync_objects_test.cpp
                  ${tests}/service/win32/object_security_test.cpp ${tests}/service/win32/apartment_test.cpp
                  LIBRARIES krell_system)
