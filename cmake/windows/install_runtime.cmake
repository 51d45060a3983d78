# Install-time part of korv_install_windows_runtime() (WindowsRuntime.cmake).
# In: korv_files (the programs and DLLs to serve), korv_dirs (where to look),
# korv_objdump, korv_own_dir (DLLs under it are installed by other rules),
# korv_destination.
cmake_policy(PUSH)
cmake_policy(VERSION 3.25)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND "${korv_objdump}")

# CMake looks a DLL up by its lower-cased name, which a case-sensitive file
# system does not find for names like Qt6Core.dll: find those here and
# resolve their own dependencies in turn. (CMake 3.25 reports the names
# lower-cased, 3.31 as the import table spells them.)
set(korv_dlls)
set(korv_system_dlls)
set(korv_libraries)
foreach(round RANGE 8)
    file(GET_RUNTIME_DEPENDENCIES
         EXECUTABLES ${korv_files}
         LIBRARIES ${korv_libraries}
         DIRECTORIES ${korv_dirs}
         RESOLVED_DEPENDENCIES_VAR resolved
         UNRESOLVED_DEPENDENCIES_VAR unresolved)
    set(found_more FALSE)
    set(korv_system_dlls)
    foreach(name IN LISTS unresolved)
        string(TOLOWER "${name}" wanted)
        set(match)
        foreach(dir IN LISTS korv_dirs)
            file(GLOB candidates LIST_DIRECTORIES false "${dir}/*.[dD][lL][lL]")
            foreach(c IN LISTS candidates)
                get_filename_component(base "${c}" NAME)
                string(TOLOWER "${base}" lower)
                if(lower STREQUAL wanted)
                    set(match "${c}")
                    break()
                endif()
            endforeach()
            if(match)
                break()
            endif()
        endforeach()
        if(match)
            if(NOT match IN_LIST korv_libraries)
                list(APPEND korv_libraries "${match}")
                set(found_more TRUE)
            endif()
        else()
            list(APPEND korv_system_dlls "${name}")
        endif()
    endforeach()
    set(korv_dlls ${resolved} ${korv_libraries})
    if(NOT found_more)
        break()
    endif()
endforeach()

list(REMOVE_DUPLICATES korv_dlls)
list(FILTER korv_dlls EXCLUDE REGEX "^${korv_own_dir}/")
list(SORT korv_dlls)
list(SORT korv_system_dlls)
message(STATUS "Runtime DLLs: ${korv_dlls}")
message(STATUS "Left to Windows: ${korv_system_dlls}")
file(INSTALL ${korv_dlls} DESTINATION "${CMAKE_INSTALL_PREFIX}/${korv_destination}" FOLLOW_SYMLINK_CHAIN)
cmake_policy(POP)
