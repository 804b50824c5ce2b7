# The driver's sources, shared by both kernels' builds. Files ending in
# _x86.cpp hold the machine instructions and are the target's alone.
file(GLOB ZERLO_DRIVER_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/src/frame/*.cpp
  ${CMAKE_SOURCE_DIR}/src/fan/*.cpp
  ${CMAKE_SOURCE_DIR}/src/firmware/*.cpp)
list(FILTER ZERLO_DRIVER_SOURCES EXCLUDE REGEX "_x86\\.cpp$")
# The driver narrows and mixes signedness on purpose only, with a cast that
# says so; both kernels' builds hold it to that.
set(ZERLO_DRIVER_WARNINGS -Wconversion -Wsign-conversion -Wshadow)
