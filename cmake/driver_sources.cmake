# The driver's sources, shared by both kernels' builds. Platform-specific
# files (the x86 port instructions) are added by the target build only.
set(ZERLO_DRIVER_SOURCES
  ${CMAKE_SOURCE_DIR}/src/frame/lifecycle.cpp
  ${CMAKE_SOURCE_DIR}/src/frame/dispatcher.cpp
  ${CMAKE_SOURCE_DIR}/src/frame/report_text.cpp
  ${CMAKE_SOURCE_DIR}/src/fan/smm.cpp
)
