# korv_tool_runpath(target): where a tool looks for the library.
# An installed tool finds the library relative to itself, without
# LD_LIBRARY_PATH. The tool in the build tree gets the same RUNPATH, through
# a link where that path lands (tools/lib -> src): a build-tree RUNPATH that
# CMake rewrites at install time ends in a ':' it pads it with, an empty
# entry that makes the loader look for every library in the current
# directory first.
file(RELATIVE_PATH KORV_BIN_TO_LIB
    ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
    ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
set(KORV_BUILD_LIB_LINK "")
if(NOT WIN32 AND KORV_BIN_TO_LIB MATCHES "^\\.\\./" AND NOT KORV_BIN_TO_LIB MATCHES "/\\.\\.(/|$)")
    # Tools are built in tools/<name>/, so $ORIGIN/../X is tools/X.
    string(REGEX REPLACE "^\\.\\./" "${PROJECT_BINARY_DIR}/tools/" KORV_BUILD_LIB_LINK "${KORV_BIN_TO_LIB}")
    get_filename_component(parent "${KORV_BUILD_LIB_LINK}" DIRECTORY)
    file(MAKE_DIRECTORY "${parent}")
    file(CREATE_LINK "${PROJECT_BINARY_DIR}/src" "${KORV_BUILD_LIB_LINK}" SYMBOLIC)
endif()
function(korv_tool_runpath target)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${KORV_BIN_TO_LIB}")
    if(KORV_BUILD_LIB_LINK)
        set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON)
    endif()
endfunction()
