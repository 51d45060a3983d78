# Installs, next to the programs, every DLL that the given targets load and
# that is not part of Windows itself, so that an unzipped tree runs as it is.
#
#   korv_install_windows_runtime(TARGETS KorvDecrypt korv DESTINATION bin)
#
# The DLLs are read from the import tables at install time (objdump of the
# cross toolchain, see windows/install_runtime.cmake) and looked up first in
# the targets' own folders (the project's DLLs found there are left to their
# own install rules), then in KORV_WINDOWS_DLL_DIRS, which the MinGW
# toolchain files set: the dependency prefix (Qt6Core, libdeflate), the
# posix compilers' runtime (libstdc++, libgcc_s) and the MinGW sysroot
# (libwinpthread, zlib1). Whatever is found nowhere is taken for a Windows
# DLL; the install prints both lists.
set(_korv_windows_runtime_dir ${CMAKE_CURRENT_LIST_DIR})
function(korv_install_windows_runtime)
    cmake_parse_arguments(ARG "" "DESTINATION;COMPONENT" "TARGETS" ${ARGN})
    if(NOT WIN32)
        return()
    endif()
    if(NOT ARG_DESTINATION)
        set(ARG_DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
    set(component)
    if(ARG_COMPONENT)
        set(component COMPONENT ${ARG_COMPONENT})
    endif()
    set(files)
    set(own_dirs)
    foreach(t IN LISTS ARG_TARGETS)
        list(APPEND files "$<TARGET_FILE:${t}>")
        list(APPEND own_dirs "$<TARGET_FILE_DIR:${t}>")
    endforeach()
    if(CMAKE_OBJDUMP)
        set(objdump "${CMAKE_OBJDUMP}")
    else()
        find_program(objdump NAMES ${KORV_MINGW_TRIPLE}-objdump objdump REQUIRED)
    endif()
    install(CODE "
        set(korv_files ${files})
        set(korv_dirs ${own_dirs} ${KORV_WINDOWS_DLL_DIRS})
        set(korv_objdump \"${objdump}\")
        set(korv_own_dir \"${CMAKE_BINARY_DIR}\")
        set(korv_destination \"${ARG_DESTINATION}\")
        include(\"${_korv_windows_runtime_dir}/windows/install_runtime.cmake\")
    " ${component})
endfunction()
