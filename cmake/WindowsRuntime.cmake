# Installs, next to the programs, every DLL that the given targets load and
# that is not part of Windows itself, so that an unzipped tree runs as it is.
#
#   korv_install_windows_runtime(TARGETS KorvDecrypt korv DESTINATION bin)
#
# The DLLs are read from the programs' import tables at install time
# (objdump of the cross toolchain) and looked up in KORV_WINDOWS_DLL_DIRS,
# (after the targets' own folders, whose project DLLs are left to their own
# install rules), which the MinGW toolchain files set: the dependency prefix (Qt6Core,
# libdeflate), the posix compilers' runtime (libstdc++, libgcc_s) and the
# MinGW sysroot (libwinpthread, zlib1). Whatever is not found there must be a
# Windows DLL; the install prints both lists.
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
        set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
        set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
        set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND \"${objdump}\")
        file(GET_RUNTIME_DEPENDENCIES
             EXECUTABLES ${files}
             DIRECTORIES ${own_dirs} ${KORV_WINDOWS_DLL_DIRS}
             RESOLVED_DEPENDENCIES_VAR korv_dlls
             UNRESOLVED_DEPENDENCIES_VAR korv_system_dlls)
        # The project's own DLLs are installed by their own rules.
        list(FILTER korv_dlls EXCLUDE REGEX \"^${CMAKE_BINARY_DIR}/\")
        list(SORT korv_dlls)
        list(SORT korv_system_dlls)
        message(STATUS \"Runtime DLLs: \${korv_dlls}\")
        message(STATUS \"Left to Windows: \${korv_system_dlls}\")
        file(INSTALL \${korv_dlls}
             DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${ARG_DESTINATION}\"
             FOLLOW_SYMLINK_CHAIN)
    " ${component})
endfunction()
