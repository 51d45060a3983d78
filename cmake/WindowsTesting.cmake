# Test programs of the Windows build: plain "\n" line ends on stdout and
# stderr (see windows/lf_stdout.cpp), so that gtest_discover_tests works
# under Wine. Nothing on other platforms.
#
#   korv_windows_test_program(korv_unit_tests)
set(_korv_windows_testing_dir ${CMAKE_CURRENT_LIST_DIR})
function(korv_windows_test_program target)
    if(WIN32)
        target_sources(${target} PRIVATE ${_korv_windows_testing_dir}/windows/lf_stdout.cpp)
    endif()
endfunction()
