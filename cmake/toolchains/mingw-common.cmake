# Shared part of the MinGW-w64 cross toolchains. The including file sets
# KORV_MINGW_TRIPLE and KORV_WINDOWS_TARGET (x86_64 or i686) first.
#
# Dependencies (Qt Core, libdeflate, ISA-L, GoogleTest) live in a prefix that
# scripts/windows.sh builds once: KORV_WINDOWS_PREFIX, else
# $KORV_WINDOWS_CACHE/prefix, else /var/cache/korv-windows/<target>/prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)

# Qt and std::thread need the POSIX thread model; Debian's default
# alternative is win32, which has no std::thread or std::mutex in GCC 12.
set(CMAKE_C_COMPILER   ${KORV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${KORV_MINGW_TRIPLE}-windres)
set(CMAKE_AR           ${KORV_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB       ${KORV_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")
set(PKG_CONFIG_EXECUTABLE ${KORV_MINGW_TRIPLE}-pkg-config CACHE FILEPATH "")

if(NOT KORV_WINDOWS_CACHE)
    if(DEFINED ENV{KORV_WINDOWS_CACHE})
        set(KORV_WINDOWS_CACHE "$ENV{KORV_WINDOWS_CACHE}")
    else()
        set(KORV_WINDOWS_CACHE /var/cache/korv-windows/${KORV_WINDOWS_TARGET})
    endif()
endif()
if(NOT KORV_WINDOWS_PREFIX)
    set(KORV_WINDOWS_PREFIX ${KORV_WINDOWS_CACHE}/prefix)
endif()
# try_compile projects re-read this file without the cache; hand them on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORV_WINDOWS_CACHE KORV_WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH ${KORV_WINDOWS_PREFIX} /usr/${KORV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Qt's target side comes from the prefix, its tools (moc, rcc) from the host.
if(NOT QT_HOST_PATH)
    set(QT_HOST_PATH /usr CACHE PATH "Qt host tools for the cross build")
endif()

# The folders whose DLLs a program of ours loads at run time: the runtime of
# the posix compilers (never 12-win32), winpthread and zlib1 from the MinGW
# sysroot, and the dependency prefix.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                OUTPUT_VARIABLE _korv_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(_korv_gcc_runtime_dir "${_korv_libstdcxx}" DIRECTORY)
set(KORV_WINDOWS_DLL_DIRS
    ${KORV_WINDOWS_PREFIX}/bin
    ${_korv_gcc_runtime_dir}
    /usr/${KORV_MINGW_TRIPLE}/lib
    CACHE STRING "Folders holding the runtime DLLs of the Windows build")

# Tests run under Wine: the wrapper finds the right Wine for the target, its
# prefix in the cache, and the DLL folders above.
string(REPLACE ";" "\\;" _korv_dll_dirs "${KORV_WINDOWS_DLL_DIRS}")
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/wine-run;${KORV_WINDOWS_TARGET};${KORV_WINDOWS_CACHE}/wineprefix;${KORV_WINDOWS_PREFIX}/bin:${_korv_gcc_runtime_dir}:/usr/${KORV_MINGW_TRIPLE}/lib)

# pkg-config finds the prefix's libdeflate and ISA-L and MinGW's zlib, never
# the host's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "${KORV_WINDOWS_PREFIX}/lib/pkgconfig:/usr/${KORV_MINGW_TRIPLE}/lib/pkgconfig")
