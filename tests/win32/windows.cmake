# Tests of the Windows build: the portable suites of the other folders, less the
# files that need POSIX (ptys, fork, temp folders by mkdtemp, environment
# setters), plus test_win32 for the Win32 platform files themselves. Debian has
# no GoogleTest for mingw-w64: it is built here from its source package.
set(ORVO_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources (Debian's googletest)")
if(NOT EXISTS ${ORVO_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${ORVO_GTEST_SOURCE_DIR}: install googletest")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${ORVO_GTEST_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Third-party code: its warnings are not ours to fix.
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)

# A file is left out when it uses what only POSIX has.
set(ORVO_POSIX_ONLY_REGEX
    "#include <(unistd|termios|poll|dirent|grp|pwd|pthread|fcntl)\\.h>|#include <sys/|#include \"(pty|devsim_process)\\.h\"|mkdtemp|popen|fork\\(|setenv\\(")

# Sets out to the files among ARGN that build on Windows and appends the others
# to ORVO_WIN_LEFT_OUT.
function(orvo_windows_files out)
  set(kept)
  foreach(file IN LISTS ARGN)
    file(READ ${file} text)
    if(text MATCHES "${ORVO_POSIX_ONLY_REGEX}")
      file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${file})
      set_property(GLOBAL APPEND PROPERTY ORVO_WIN_LEFT_OUT ${rel})
    else()
      list(APPEND kept ${file})
    endif()
  endforeach()
  set(${out} ${kept} PARENT_SCOPE)
endfunction()

file(GLOB ORVO_TESTKIT_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/harness/*.cpp)
orvo_windows_files(ORVO_TESTKIT_SOURCES ${ORVO_TESTKIT_SOURCES})
add_library(orvo_testkit STATIC ${ORVO_TESTKIT_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/harness/empty.cpp)
target_include_directories(orvo_testkit PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/harness)
target_link_libraries(orvo_testkit PUBLIC orvo GTest::gtest)
target_compile_definitions(orvo_testkit PRIVATE ORVO_BINARY_DIR="${CMAKE_BINARY_DIR}")

# The test programs that ./run test --windows runs under Wine, one a line.
set(ORVO_WIN_TEST_PROGRAMS)
function(orvo_windows_suite dir)
  file(GLOB files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
  orvo_windows_files(files ${files})
  if(NOT files)
    return()
  endif()
  add_executable(test_${dir} ${files})
  target_link_libraries(test_${dir} PRIVATE orvo_testkit GTest::gtest_main)
  target_compile_definitions(test_${dir} PRIVATE ORVO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    ORVO_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_test(NAME test_${dir} COMMAND test_${dir})
  set(ORVO_WIN_TEST_PROGRAMS ${ORVO_WIN_TEST_PROGRAMS} tests/test_${dir}.exe PARENT_SCOPE)
endfunction()

foreach(dir support link rmc image loader win32)
  orvo_windows_suite(${dir})
endforeach()

# The Win32 window layer with the program's resources (the run also drives
# orvo-loader.exe itself; this program prints the dialog font's base units for it).
if(TARGET orvo_gui_win32)
  file(GLOB files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/gui_win32/*.cpp)
  add_executable(test_gui_win32 ${files} $<TARGET_OBJECTS:orvo_gui_win32_res>)
  target_link_libraries(test_gui_win32 PRIVATE orvo_gui_win32 orvo_testkit version)
  list(APPEND ORVO_WIN_TEST_PROGRAMS tests/test_gui_win32.exe)
endif()

get_property(left_out GLOBAL PROPERTY ORVO_WIN_LEFT_OUT)
list(JOIN left_out "\n" left_out_text)
list(JOIN ORVO_WIN_TEST_PROGRAMS "\n" programs_text)
file(WRITE ${CMAKE_BINARY_DIR}/windows-tests.txt "${programs_text}\n")
file(WRITE ${CMAKE_BINARY_DIR}/windows-left-out.txt "${left_out_text}\n")
message(STATUS "Windows tests leave out (POSIX only): ${left_out}")
