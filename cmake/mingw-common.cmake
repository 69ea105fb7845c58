# Shared part of the mingw-w64 cross toolchains. The including file sets
# AXG_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first, and may set
# AXG_WINDOWS_VERSION (the oldest Windows it targets, default 6.1, Windows 7)
# and AXG_MINGW_IMAGE_VERSION (link flags with the images' subsystem version).
set(CMAKE_SYSTEM_NAME Windows)
if(NOT AXG_WINDOWS_VERSION)
  set(AXG_WINDOWS_VERSION 6.1)
endif()
set(CMAKE_SYSTEM_VERSION ${AXG_WINDOWS_VERSION})

# The "posix" flavour of Debian's mingw-w64 g++ has the full C++ thread support
# (std::thread, std::mutex); its winpthread runtime is linked statically below.
find_program(CMAKE_CXX_COMPILER NAMES ${AXG_MINGW_TRIPLE}-g++-posix ${AXG_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${AXG_MINGW_TRIPLE}-gcc-posix ${AXG_MINGW_TRIPLE}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${AXG_MINGW_TRIPLE}-windres)
find_program(CMAKE_AR NAMES ${AXG_MINGW_TRIPLE}-gcc-ar-posix ${AXG_MINGW_TRIPLE}-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES ${AXG_MINGW_TRIPLE}-gcc-ranlib-posix ${AXG_MINGW_TRIPLE}-ranlib REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${AXG_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${AXG_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -O2 as in the native release build; GCC 12 at -O3 reports false -Wrestrict
# errors inside std::string concatenation.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of the release build")
# Release binaries are shipped without symbols.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_RELEASE "-s" CACHE STRING "Link flags of the release build")
endforeach()

# The DLL and the tools may import system DLLs only: the C++ runtime, libgcc and
# winpthread go into each binary.
set(AXG_MINGW_STATIC_RUNTIME "-static-libgcc -static-libstdc++ -static ${AXG_MINGW_IMAGE_VERSION}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${AXG_MINGW_STATIC_RUNTIME}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${AXG_MINGW_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${AXG_MINGW_STATIC_RUNTIME}")
