# Cross build for 32-bit Windows with MinGW-w64 (see mingw-common.cmake).
set(CMAKE_SYSTEM_PROCESSOR X86)
set(KORV_MINGW_TRIPLE i686-w64-mingw32)
set(KORV_WINDOWS_TARGET i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
