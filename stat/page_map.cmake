# pfnstat's page map: the library pfnstat_map and its test executable
# pfnstat_map_tests. Self-contained, so that it can be included from any
# CMakeLists.txt of this project (after tests/, whose GoogleTest build the
# cross build shares).

if(WIN32)
  # The product imports only KERNEL32.dll and msvcrt.dll: zlib goes into
  # the executable, not beside it.
  set(ZLIB_USE_STATIC_LIBS ON)
endif()
find_package(ZLIB REQUIRED)

if(WIN32)
  set(PFNSTAT_MAP_PLATFORM win32)
else()
  set(PFNSTAT_MAP_PLATFORM posix)
endif()

add_library(pfnstat_map STATIC
  ${CMAKE_CURRENT_LIST_DIR}/page_map.cpp
  ${CMAKE_CURRENT_LIST_DIR}/page_map_file_${PFNSTAT_MAP_PLATFORM}.cpp
)
get_filename_component(PFNSTAT_MAP_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
target_include_directories(pfnstat_map PUBLIC ${PFNSTAT_MAP_ROOT})
target_link_libraries(pfnstat_map PRIVATE ZLIB::ZLIB)

if(BUILD_TESTING)
  if(CMAKE_CROSSCOMPILING)
    if(NOT TARGET gtest_main)
      message(FATAL_ERROR "include page_map.cmake after tests/, which builds GoogleTest")
    endif()
    set(PFNSTAT_MAP_GTEST gtest gtest_main)
  else()
    find_package(GTest REQUIRED)
    set(PFNSTAT_MAP_GTEST GTest::gtest GTest::gtest_main)
  endif()
  include(GoogleTest)
  # The test reads the pictures back with zlib's inflate.
  add_executable(pfnstat_map_tests ${CMAKE_CURRENT_LIST_DIR}/page_map_test.cpp)
  target_link_libraries(pfnstat_map_tests PRIVATE pfnstat_map ZLIB::ZLIB ${PFNSTAT_MAP_GTEST})
  if(WIN32)
    target_link_options(pfnstat_map_tests PRIVATE -static)
    add_test(NAME pfnstat_map_tests COMMAND pfnstat_map_tests)
    set_tests_properties(pfnstat_map_tests PROPERTIES TIMEOUT 600)
  else()
    gtest_discover_tests(pfnstat_map_tests DISCOVERY_TIMEOUT 60)
  endif()
endif()
