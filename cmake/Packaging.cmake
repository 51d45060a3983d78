# The Debian package: `cpack -G DEB` in a build folder configured with
# -DCMAKE_INSTALL_PREFIX=/usr. Runtime dependencies come from dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME korvfilesystem)
set(CPACK_PACKAGE_VENDOR "KorvFileSystem developers")
set(CPACK_PACKAGE_CONTACT "KorvFileSystem developers <dev@korv.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "crypted data files with transparent access: library, headers, korv and KorvDecrypt")
set(CPACK_PACKAGE_DESCRIPTION
    "KorvFileSystem keeps data files on disk in a crypted form (the marker kr, the plain length and one zlib stream) and gives programs transparent access to them. This package holds the shared library, its headers, CMake and pkg-config files, the korv tool (crypt, decrypt, cat, test, info and checksums over whole trees, with completions for bash, zsh and fish) and the KorvDecrypt tool.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR}/src)
# The headers include Qt's: building against them needs Qt's development files.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-base-dev")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
if(WIN32)
    # The Windows zip says which Windows it is for.
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
    else()
        set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win32)
    endif()
    set(CPACK_GENERATOR ZIP)
    # bin\, lib\ and include\ at the top of the unpacked folder.
    set(CPACK_PACKAGING_INSTALL_PREFIX /)
endif()
include(CPack)
