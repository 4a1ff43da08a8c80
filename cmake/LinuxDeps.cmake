# Debian's packages for the Linux build.
find_package(Threads REQUIRED)
find_package(Protobuf REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(GTest REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET opus)
# The X server's desktop: monitors (RandR), capture (MIT-SHM), the pointer (XFixes).
pkg_check_modules(X11DESKTOP REQUIRED IMPORTED_TARGET x11 xext xrandr xfixes xtst)
# The PC sound: loopback capture and the speakers through PulseAudio; tests
# play tones through the simple API.
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(PULSE_SIMPLE REQUIRED IMPORTED_TARGET libpulse-simple)
# Video encoding: libx264 and libx265 through libavcodec.
pkg_check_modules(LIBAV REQUIRED IMPORTED_TARGET libavcodec libavutil)

add_library(orvane_protobuf_lite INTERFACE IMPORTED GLOBAL)
set_target_properties(orvane_protobuf_lite PROPERTIES
  INTERFACE_LINK_LIBRARIES "${Protobuf_LITE_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${Protobuf_INCLUDE_DIRS}")
add_library(orvane_opus INTERFACE IMPORTED GLOBAL)
set_target_properties(orvane_opus PROPERTIES INTERFACE_LINK_LIBRARIES PkgConfig::OPUS)
add_library(orvane_gtest INTERFACE IMPORTED GLOBAL)
set_target_properties(orvane_gtest PROPERTIES INTERFACE_LINK_LIBRARIES GTest::gtest)
add_library(orvane_gmock INTERFACE IMPORTED GLOBAL)
set_target_properties(orvane_gmock PROPERTIES INTERFACE_LINK_LIBRARIES GTest::gmock)

set(ORVANE_PROTOC ${Protobuf_PROTOC_EXECUTABLE})
set(ORVANE_SYSTEM_LIBS Threads::Threads OpenSSL::Crypto PkgConfig::X11DESKTOP PkgConfig::LIBAV PkgConfig::PULSE
    ${CMAKE_DL_LIBS})
