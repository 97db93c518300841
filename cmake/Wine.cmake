# A cross build for Windows runs its own programs (k24image for the sample
# images, the tests) under Wine, through the wrapper written here: CMake puts it
# before every program of this build that it runs, and CTest before every test.
# The Wine prefix lives in the build tree.

set(K24_WINE "/usr/lib/wine/wine64" CACHE FILEPATH "Wine's 64-bit loader")
set(K24_WINESERVER "/usr/lib/wine/wineserver64" CACHE FILEPATH "Wine's server")
set(K24_WINE_PREFIX ${PROJECT_BINARY_DIR}/wine-prefix)
if(NOT EXISTS ${K24_WINE})
  message(FATAL_ERROR "Wine is needed to run this build's programs: install wine64 (${K24_WINE} is missing)")
endif()

set(K24_WINE_RUN ${PROJECT_BINARY_DIR}/wine-run)
configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.in ${K24_WINE_RUN}
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
  @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${K24_WINE_RUN})
