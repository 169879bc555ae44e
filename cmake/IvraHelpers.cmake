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

# One small library per build identity: the version, the edition and the two
# manifest URLs reach the code only through the translation unit made here.
function(ivra_add_build_settings name)
  cmake_parse_arguments(ARG "" "VERSION;EDITION;GATEWAY_URL;CLIENT_URL;DEFAULT_GATEWAY_URL" "" ${ARGN})
  set(IVRA_SETTING_VERSION "${ARG_VERSION}")
  set(IVRA_SETTING_EDITION "${ARG_EDITION}")
  set(IVRA_SETTING_GATEWAY_URL "${ARG_GATEWAY_URL}")
  set(IVRA_SETTING_CLIENT_URL "${ARG_CLIENT_URL}")
  set(IVRA_SETTING_DEFAULT_GATEWAY_URL "${ARG_DEFAULT_GATEWAY_URL}")
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${name}.cpp")
  configure_file("${PROJECT_SOURCE_DIR}/app/buildsettings.cpp.in" "${out}" @ONLY)
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
