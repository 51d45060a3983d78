# Cross build for 64-bit Windows with MinGW-w64 (see mingw-common.cmake).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KORV_MINGW_TRIPLE x86_64-w64-mingw32)
set(KORV_WINDOWS_TARGET x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
