# Third-party libraries, all from the system (Debian's packages on Linux, the package
# manager of one's choice with MSVC). Nothing is downloaded at build time.

add_library(qs_logging INTERFACE)
# CLI11 (header-only) parses the command lines of addrlib and the game stand-in.
add_library(qs_cli INTERFACE)
if(CMAKE_CROSSCOMPILING AND MINGW)
  # spdlog, fmt and CLI11 are used header-only. Their headers come from the Linux system,
  # through a folder that holds links to those folders only: adding /usr/include itself
  # to a Windows compile would pull in glibc's headers.
  set(QS_DEPS_INCLUDE "${CMAKE_BINARY_DIR}/deps-include")
  file(MAKE_DIRECTORY "${QS_DEPS_INCLUDE}")
  foreach(lib spdlog fmt CLI)
    file(CREATE_LINK "/usr/include/${lib}" "${QS_DEPS_INCLUDE}/${lib}" SYMBOLIC)
  endforeach()
  # fmt stays header-only; spdlog is compiled once, in a library of its own.
  add_library(qs_spdlog STATIC "${CMAKE_CURRENT_LIST_DIR}/SpdlogLibrary.cpp")
  target_include_directories(qs_spdlog SYSTEM PUBLIC "${QS_DEPS_INCLUDE}")
  # Files are opened by their wide names, so that a documents folder under a user name
  # outside the ANSI code page is the one written to.
  target_compile_definitions(qs_spdlog PUBLIC FMT_HEADER_ONLY SPDLOG_FMT_EXTERNAL SPDLOG_COMPILED_LIB SPDLOG_WCHAR_FILENAMES)
  target_compile_features(qs_spdlog PUBLIC cxx_std_20)
  target_link_libraries(qs_logging INTERFACE qs_spdlog)
  target_include_directories(qs_cli SYSTEM INTERFACE "${QS_DEPS_INCLUDE}")
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Debian's compiled spdlog (with its fmt): each file that logs compiles in seconds.
  find_package(spdlog CONFIG REQUIRED)
  target_link_libraries(qs_logging INTERFACE spdlog::spdlog)
  find_package(CLI11 CONFIG REQUIRED)
  target_link_libraries(qs_cli INTERFACE CLI11::CLI11)
else()
  find_package(fmt CONFIG REQUIRED)
  find_package(spdlog CONFIG REQUIRED)
  target_link_libraries(qs_logging INTERFACE spdlog::spdlog_header_only fmt::fmt-header-only)
  if(WIN32)
    # As in the cross build: log files are opened by their wide names (header-only, so
    # the switch reaches every file that includes spdlog).
    target_compile_definitions(qs_logging INTERFACE SPDLOG_WCHAR_FILENAMES)
  endif()
  find_package(CLI11 CONFIG REQUIRED)
  target_link_libraries(qs_cli INTERFACE CLI11::CLI11)
endif()

if(QS_BUILD_TESTS)
  if(CMAKE_CROSSCOMPILING AND MINGW)
    # GoogleTest for Windows is compiled here from Debian's source package.
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
    # The source tree defines the GTest:: aliases itself.
  else()
    find_package(GTest REQUIRED)
  endif()
  include(GoogleTest)
endif()

if(NOT CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  find_package(benchmark QUIET)
  find_package(zydis QUIET)
endif()
