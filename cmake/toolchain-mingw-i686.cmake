# 32-bit Windows (the ax_gate.dll that 1C:Enterprise 7.7 loads), built with
# Debian's mingw-w64:  cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
# It runs on Windows XP SP3 and Server 2003 and later: the API level is NT 5.1
# (_WIN32_WINNT=0x0501, set by platform/) and the images say subsystem 5.01,
# the newest version that XP's loader accepts.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(AXG_MINGW_TRIPLE i686-w64-mingw32)
set(AXG_WINDOWS_VERSION 5.1)
set(AXG_MINGW_IMAGE_VERSION
    "-Wl,--major-subsystem-version,5,--minor-subsystem-version,1,--major-os-version,5,--minor-os-version,1")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
