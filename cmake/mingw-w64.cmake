# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, whose
# runtime DLLs the program ships), against a Qt built for that target:
#   cmake --preset windows          (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
#       [-DCORVANE_QT_PREFIX=<Qt for Windows>]
# scripts/windows.sh builds that Qt and does all of this.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# The Qt for Windows: the one named, or the one scripts/windows.sh builds and caches (its Qt
# version and toolchain revision are the script's).
if(NOT CORVANE_QT_PREFIX)
    if(DEFINED ENV{CORVANE_WIN_CACHE})
        set(corvane_win_cache "$ENV{CORVANE_WIN_CACHE}")
    elseif(DEFINED ENV{XDG_CACHE_HOME})
        set(corvane_win_cache "$ENV{XDG_CACHE_HOME}/corvane-win")
    else()
        set(corvane_win_cache "$ENV{HOME}/.cache/corvane-win")
    endif()
    set(CORVANE_QT_PREFIX "${corvane_win_cache}/qt-5.15.8-mingw-1")
endif()

# Try-compiles read this file again and need the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVANE_QT_PREFIX CORVANE_QT_HOST_BINS)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${CORVANE_QT_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A Qt built for Windows brings no moc, rcc or uic that run here: the host's Qt 5 tools stand in
# (cmake/qt5hosttools.cmake).
if(NOT CORVANE_QT_HOST_BINS)
    set(CORVANE_QT_HOST_BINS /usr/lib/qt5/bin)
endif()
