# build-windows/dist: the two programs and everything a Windows machine needs
# beside them (cross builds have no windeployqt), ready to zip or to pack as
# an installer. The SDK's toolchain file names the SDK as IVRA_WIN64_SDK_ROOT.
if(NOT IVRA_WIN64_SDK_ROOT)
  message(FATAL_ERROR "Windows builds use the SDK's toolchain file (scripts/build-windows.sh)")
endif()
set(_sdk "${IVRA_WIN64_SDK_ROOT}")
set(IVRA_DIST_DIR "${PROJECT_BINARY_DIR}/dist")
set(_dlls Qt6Core Qt6Gui Qt6Widgets Qt6Network Qt6Concurrent
  libstdc++-6 libgcc_s_seh-1 libwinpthread-1 zlib1 libcrypto-3-x64 libzip libbz2-1 libzstd)
list(TRANSFORM _dlls PREPEND "${_sdk}/bin/")
list(TRANSFORM _dlls APPEND ".dll")
add_custom_target(windows-dist ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory "${IVRA_DIST_DIR}/platforms" "${IVRA_DIST_DIR}/tls"
    "${IVRA_DIST_DIR}/styles"
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:IvraLauncher>
    $<TARGET_FILE:ivra-update> ${_dlls} "${IVRA_DIST_DIR}/"
  COMMAND ${CMAKE_COMMAND} -E copy_if_different "${_sdk}/plugins/platforms/qwindows.dll"
    "${IVRA_DIST_DIR}/platforms/"
  COMMAND ${CMAKE_COMMAND} -E copy_if_different "${_sdk}/plugins/tls/qschannelbackend.dll"
    "${_sdk}/plugins/tls/qcertonlybackend.dll" "${IVRA_DIST_DIR}/tls/"
  COMMAND ${CMAKE_COMMAND} -E copy_if_different "${_sdk}/plugins/styles/qwindowsvistastyle.dll"
    "${IVRA_DIST_DIR}/styles/"
  DEPENDS IvraLauncher ivra-update
  COMMENT "Laying out ${IVRA_DIST_DIR}")
file(WRITE "${PROJECT_BINARY_DIR}/version.txt" "${IVRA_BUILD_VERSION}")
file(WRITE "${PROJECT_BINARY_DIR}/sdk.txt" "${IVRA_WIN64_SDK_ROOT}")
