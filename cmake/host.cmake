# Host build: the driver as a shared object loaded by the simulated kernel.
find_package(nlohmann_json 3 REQUIRED)
find_package(CLI11 REQUIRED)
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

add_compile_options(-Wall -Wextra -Werror)
option(ZERLO_FUZZ "build the libFuzzer targets (clang only)" OFF)
if(ZERLO_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
if(ZERLO_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(ZERLO_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread)
  add_link_options(-fsanitize=thread)
elseif(NOT ZERLO_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZERLO_SANITIZE must be empty, 'address' or 'thread'")
endif()

# --- the simulated notebook ---
file(READ ${CMAKE_SOURCE_DIR}/host/machine/profiles/default_notebook.json ZERLO_DEFAULT_PROFILE)
configure_file(cmake/default_profile.cpp.in ${CMAKE_BINARY_DIR}/generated/default_profile.cpp @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS host/machine/profiles/default_notebook.json)

file(GLOB ZERLO_MACHINE_SOURCES CONFIGURE_DEPENDS host/machine/*.cpp host/firmware_images/*.cpp host/profile/*.cpp)
add_library(zerlo_machine STATIC ${ZERLO_MACHINE_SOURCES} ${CMAKE_BINARY_DIR}/generated/default_profile.cpp)
target_include_directories(zerlo_machine PUBLIC host)
target_link_libraries(zerlo_machine PUBLIC nlohmann_json::nlohmann_json)

# --- the emulated i386 that zerlo.sys runs on ---
# Unicorn is the emulator's own business: its objects go into the kernel's
# library, and only they see Unicorn's headers.
find_package(PkgConfig REQUIRED)
pkg_check_modules(UNICORN REQUIRED IMPORTED_TARGET unicorn)
file(GLOB ZERLO_I386_SOURCES CONFIGURE_DEPENDS host/kernel/i386/*.cpp)
add_library(zerlo_i386 OBJECT ${ZERLO_I386_SOURCES})
target_include_directories(zerlo_i386 PUBLIC host/kernel/include host src)
target_link_libraries(zerlo_i386 PUBLIC zerlo_machine PRIVATE PkgConfig::UNICORN)

# --- the simulated NT kernel; the driver links against its exports ---
file(GLOB ZERLO_KERNEL_SOURCES CONFIGURE_DEPENDS host/kernel/*.cpp host/kernel/native/*.cpp host/session/*.cpp)
add_library(zerlo_kernel SHARED ${ZERLO_KERNEL_SOURCES})
target_include_directories(zerlo_kernel PUBLIC host/kernel/include host src)
target_link_libraries(zerlo_kernel PUBLIC zerlo_machine Threads::Threads ${CMAKE_DL_LIBS} PRIVATE zerlo_i386)
if(ZERLO_FUZZ)
  target_compile_definitions(zerlo_kernel PRIVATE ZHOST_KEEP_DRIVER_IMAGE)
endif()

# --- the driver, unchanged, as a loadable image ---
include(cmake/driver_sources.cmake)
add_library(zerlo_driver MODULE ${ZERLO_DRIVER_SOURCES})
set_target_properties(zerlo_driver PROPERTIES PREFIX "" OUTPUT_NAME zerlo_driver)
target_compile_options(zerlo_driver PRIVATE ${ZERLO_DRIVER_WARNINGS} -fno-exceptions -fno-rtti $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
# A local the driver reads before it sets it holds a pattern here, not the
# zeros a host stack happens to hold: on NT it holds whatever was there.
target_compile_options(zerlo_driver PRIVATE -ftrivial-auto-var-init=pattern)
target_link_libraries(zerlo_driver PRIVATE zerlo_kernel)
# clang leaves the sanitizer runtimes to the executable, so only gcc builds
# can insist that the image resolves every name against the kernel.
target_link_options(zerlo_driver PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wl,--no-undefined>)

# --- the user-mode client ---
add_subdirectory(tools/zerloctl)
add_subdirectory(tools/zerlomon)

enable_testing()
add_subdirectory(tests)
# Timings of sanitized or instrumented code would mean nothing.
if(ZERLO_SANITIZE STREQUAL "" AND NOT ZERLO_FUZZ)
  add_subdirectory(bench)
endif()
if(ZERLO_FUZZ)
  add_subdirectory(fuzz)
endif()
