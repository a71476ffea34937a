# pfnstat's page map: the library pfnstat_map, with zlib inside it.

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
if(WIN32)
  # File names between UTF-8 and the system's UTF-16, for pfnstat too.
  target_sources(pfnstat_map PRIVATE ${CMAKE_CURRENT_LIST_DIR}/utf8_win32.cpp)
endif()
get_filename_component(PFNSTAT_MAP_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
target_include_directories(pfnstat_map PUBLIC ${PFNSTAT_MAP_ROOT})
target_link_libraries(pfnstat_map PRIVATE ZLIB::ZLIB)
