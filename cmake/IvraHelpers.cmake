# Shared compile flags for every target of the project.
add_library(ivra_flags INTERFACE)
target_compile_options(ivra_flags INTERFACE -Wall -Wextra)
target_compile_definitions(ivra_flags INTERFACE QT_NO_KEYWORDS)
if(IVRA_SANITIZE)
  target_compile_options(ivra_flags INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(ivra_flags INTERFACE -fsanitize=address,undefined)
endif()
if(IVRA_FUZZ)
  # Coverage for libFuzzer in every object; only the fuzz targets link its main.
  target_compile_options(ivra_flags INTERFACE -fsanitize=fuzzer-no-link)
endif()

# One small library per build identity: the version, the edition, the two
# manifest URLs and the release signing keys reach the code only through the
# translation unit made here.
function(ivra_add_build_settings name)
  cmake_parse_arguments(ARG "" "VERSION;EDITION;GATEWAY_URL;CLIENT_URL;DEFAULT_GATEWAY_URL;PUBLIC_KEYS;MAX_AGE_DAYS;CHANNEL" "" ${ARGN})
  # A key is minisign's base64 line: "Ed", an 8-byte id and a 32-byte key.
  # Callers pass the keys separated by "," (a ";" would split the argument list).
  string(REPLACE "," ";" keys "${ARG_PUBLIC_KEYS}")
  set(IVRA_SETTING_PUBLIC_KEYS "${keys}")
  foreach(key IN LISTS keys)
    string(STRIP "${key}" key)
    if(NOT key STREQUAL "" AND NOT key MATCHES "^RW[A-Za-z0-9+/]+$")
      message(FATAL_ERROR "IVRA_RELEASE_PUBLIC_KEYS: not a minisign public key line: ${key}")
    endif()
  endforeach()
  set(IVRA_SETTING_MAX_AGE_DAYS "${ARG_MAX_AGE_DAYS}")
  if(IVRA_SETTING_MAX_AGE_DAYS STREQUAL "")
    set(IVRA_SETTING_MAX_AGE_DAYS 0)
  endif()
  if(NOT IVRA_SETTING_MAX_AGE_DAYS MATCHES "^[0-9]+$")
    message(FATAL_ERROR "IVRA_RELEASE_MAX_AGE_DAYS must be a whole number of days: ${IVRA_SETTING_MAX_AGE_DAYS}")
  endif()
  set(IVRA_SETTING_CHANNEL "${ARG_CHANNEL}")
  if(IVRA_SETTING_CHANNEL STREQUAL "")
    set(IVRA_SETTING_CHANNEL stable)
  endif()
  if(NOT IVRA_SETTING_CHANNEL MATCHES "^[A-Za-z0-9._-]+$")
    message(FATAL_ERROR "IVRA_RELEASE_CHANNEL must be a channel name such as stable: ${IVRA_SETTING_CHANNEL}")
  endif()
  set(IVRA_SETTING_VERSION "${ARG_VERSION}")
  set(IVRA_SETTING_EDITION "${ARG_EDITION}")
  set(IVRA_SETTING_GATEWAY_URL "${ARG_GATEWAY_URL}")
  set(IVRA_SETTING_CLIENT_URL "${ARG_CLIENT_URL}")
  set(IVRA_SETTING_DEFAULT_GATEWAY_URL "${ARG_DEFAULT_GATEWAY_URL}")
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp")
  configure_file("${PROJECT_SOURCE_DIR}/base/buildsettings.cpp.in" "${out}" @ONLY)
  add_library(${name} OBJECT "${out}")
  target_link_libraries(${name} PRIVATE ivra_core)
endfunction()

# Declares one QtTest executable and registers it with CTest, each run in a
# private home so that tests never touch the user's files and run in parallel.
function(ivra_add_test name)
  cmake_parse_arguments(ARG "" "SETTINGS" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ivra_flags ${ARG_LIBS})
  if(ARG_SETTINGS)
    target_link_libraries(${name} PRIVATE ${ARG_SETTINGS})
  endif()
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -E env
      "IVRA_TEST_BINARY_DIR=${PROJECT_BINARY_DIR}"
      "IVRA_TEST_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
      "${PROJECT_SOURCE_DIR}/tests/run-isolated.sh" $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()
