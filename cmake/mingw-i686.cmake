# Cross-compiling for 32-bit Windows with Debian's MinGW-w64 (posix threads).
# The board's own link libraries are 32-bit __stdcall DLLs, so the programs
# that load them must be 32-bit too.
#
# QD_WINDOWS_SDK names the folder that scripts/windows-sdk.sh filled with Qt,
# libusb and GoogleTest built for this target; it is searched like a sysroot.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(QD_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QD_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QD_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QD_MINGW_TRIPLE}-windres)

if(NOT QD_WINDOWS_SDK AND DEFINED ENV{QD_WINDOWS_SDK})
    set(QD_WINDOWS_SDK "$ENV{QD_WINDOWS_SDK}")
endif()
# Seen by every try_compile too, which starts with a cache of its own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QD_WINDOWS_SDK)

set(CMAKE_FIND_ROOT_PATH /usr/${QD_MINGW_TRIPLE})
if(QD_WINDOWS_SDK)
    list(PREPEND CMAKE_FIND_ROOT_PATH "${QD_WINDOWS_SDK}")
    # pkg-config sees the SDK's packages (libusb) and never the host's.
    set(ENV{PKG_CONFIG_LIBDIR} "${QD_WINDOWS_SDK}/lib/pkgconfig")
    set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests and tools that the build runs go through Wine.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(QD_WINE wine)
    if(QD_WINE)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${QD_WINE})
    endif()
endif()
