# Third-party libraries for the Windows build, cross-built by scripts/build-win-deps.sh.
set(ORVANE_WIN_DEPS "$ENV{HOME}/.cache/orvane/win-deps/current" CACHE PATH "Cross-built Windows dependencies")
if(DEFINED ENV{ORVANE_CACHE})
  set(ORVANE_WIN_DEPS "$ENV{ORVANE_CACHE}/win-deps/current" CACHE PATH "" FORCE)
endif()
if(NOT EXISTS "${ORVANE_WIN_DEPS}/lib/libprotobuf-lite.a")
  message(FATAL_ERROR "Windows dependencies not found in ${ORVANE_WIN_DEPS}; run scripts/setup.sh")
endif()

add_library(orvane_protobuf_lite STATIC IMPORTED GLOBAL)
set_target_properties(orvane_protobuf_lite PROPERTIES
  IMPORTED_LOCATION "${ORVANE_WIN_DEPS}/lib/libprotobuf-lite.a"
  INTERFACE_INCLUDE_DIRECTORIES "${ORVANE_WIN_DEPS}/include")
add_library(orvane_opus STATIC IMPORTED GLOBAL)
set_target_properties(orvane_opus PROPERTIES
  IMPORTED_LOCATION "${ORVANE_WIN_DEPS}/lib/libopus.a"
  INTERFACE_INCLUDE_DIRECTORIES "${ORVANE_WIN_DEPS}/include")
add_library(orvane_gtest STATIC IMPORTED GLOBAL)
set_target_properties(orvane_gtest PROPERTIES
  IMPORTED_LOCATION "${ORVANE_WIN_DEPS}/lib/libgtest.a"
  INTERFACE_INCLUDE_DIRECTORIES "${ORVANE_WIN_DEPS}/include")
add_library(orvane_gmock STATIC IMPORTED GLOBAL)
set_target_properties(orvane_gmock PROPERTIES
  IMPORTED_LOCATION "${ORVANE_WIN_DEPS}/lib/libgmock.a"
  INTERFACE_LINK_LIBRARIES orvane_gtest)

set(ORVANE_PROTOC /usr/bin/protoc)
# Tests run under Wine; programs that need a display run under Xvfb as well.
set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/cmake/wine-run.sh")
set(ORVANE_XVFB_EMULATOR "${PROJECT_SOURCE_DIR}/cmake/wine-run.sh" --xvfb)

# System libraries the host links (all ship with Windows).
set(ORVANE_SYSTEM_LIBS ws2_32 iphlpapi bcrypt crypt32 ole32 oleaux32 uuid shell32 shlwapi advapi32 user32
    gdi32 dbghelp comctl32 winmm mfplat mfuuid strmiids dxgi d3d11 d3dcompiler_47 runtimeobject)
list(REMOVE_ITEM ORVANE_SYSTEM_LIBS oleaux32)
list(APPEND ORVANE_SYSTEM_LIBS oleaut32)
# The display-class device and its nodes (the configuration manager first, so
# that its calls bind to cfgmgr32.dll rather than to SetupAPI's copies).
list(APPEND ORVANE_SYSTEM_LIBS cfgmgr32 setupapi)
