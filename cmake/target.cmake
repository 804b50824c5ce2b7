# Target build: zerlo.sys, a freestanding PE32 kernel driver for NT 5.1 on
# i386, and zerloctl.exe, its Win32 client.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

include(cmake/driver_sources.cmake)
add_executable(zerlo_sys ${ZERLO_DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/src/fan/port_io_x86.cpp)
set_target_properties(zerlo_sys PROPERTIES OUTPUT_NAME zerlo SUFFIX .sys)
target_compile_definitions(zerlo_sys PRIVATE
  _X86_=1
  # MinGW's DDK headers redefine these intrinsics in C++; tell them the
  # compiler already has them.
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
# The DDK headers include each other by bare name.
target_include_directories(zerlo_sys SYSTEM PRIVATE /usr/i686-w64-mingw32/include/ddk)
target_compile_options(zerlo_sys PRIVATE
  -Wall -Wextra -Werror ${ZERLO_DRIVER_WARNINGS} -O2
  -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-threadsafe-statics -fno-use-cxa-atexit -fno-stack-protector -fno-builtin
  -mno-sse -mno-mmx -fstack-usage)
target_link_options(zerlo_sys PRIVATE
  -nostdlib -shared
  -Wl,--subsystem,native
  -Wl,--exclude-all-symbols
  -Wl,--entry,_DriverEntry@8
  # NT and Wine load this layout; the file and section alignment of 0x1000
  # keeps every section's file offset equal to its RVA.
  -Wl,--image-base,0x10000
  -Wl,--file-alignment,0x1000
  -Wl,--section-alignment,0x1000
  -Wl,--stack,0x40000
  -Wl,--nxcompat
  -Wl,-Map,${CMAKE_BINARY_DIR}/zerlo.map)
target_link_libraries(zerlo_sys PRIVATE ntoskrnl hal gcc)
set(ZERLO_SYS_LINK_OPTIONS -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
  -Wl,--image-base,0x10000 -Wl,--file-alignment,0x1000 -Wl,--section-alignment,0x1000)

# The emulated kernel's offsets of NT's objects, checked against the DDK.
add_library(zerlo_nt32_layout OBJECT tests/target/nt32_layout_check.cpp)
target_compile_definitions(zerlo_nt32_layout PRIVATE _X86_=1
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
target_include_directories(zerlo_nt32_layout SYSTEM PRIVATE /usr/i686-w64-mingw32/include/ddk)
target_compile_options(zerlo_nt32_layout PRIVATE -Wall -Wextra -Werror -ffreestanding)

# The deliberately faulty drivers of the kernels' own tests, built as
# zerlo.sys is but without its hardening, with a map that names their
# functions in a stop.
function(zerlo_test_driver name source)
  add_executable(${name}_sys ${source})
  set_target_properties(${name}_sys PROPERTIES OUTPUT_NAME ${name} SUFFIX .sys)
  target_compile_definitions(${name}_sys PRIVATE _X86_=1
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
  target_include_directories(${name}_sys SYSTEM PRIVATE /usr/i686-w64-mingw32/include/ddk)
  target_compile_options(${name}_sys PRIVATE -Wall -Wextra -Werror -O1 -ffreestanding -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -fno-stack-protector -fno-builtin -mno-sse -mno-mmx)
  target_link_options(${name}_sys PRIVATE ${ZERLO_SYS_LINK_OPTIONS} -Wl,-Map,${CMAKE_BINARY_DIR}/${name}.map)
  target_link_libraries(${name}_sys PRIVATE ntoskrnl hal gcc)
endfunction()
# One fault of the driver's own per control code, for the emulated kernel's
# tests.
zerlo_test_driver(zerlo_probe tests/target/probe_driver.cpp)
# One misuse of the kernel's services per control code, the same source as
# the host's zerlo_misuse_driver: both images must stop on each alike.
zerlo_test_driver(zerlo_misuse tests/kernel/images/misuse_driver.cpp)
# The loader of NT verifies the checksum of boot and system drivers.
add_custom_command(TARGET zerlo_sys POST_BUILD
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/pe_checksum.py $<TARGET_FILE:zerlo_sys>
  VERBATIM)

# The client: the Win32 transport, header-only CLI11 and nlohmann-json taken
# from the host's packages through a directory that holds only them.
set(ZERLO_CLIENT_HEADERS ${CMAKE_BINARY_DIR}/client-headers)
file(MAKE_DIRECTORY ${ZERLO_CLIENT_HEADERS})
foreach(dir CLI nlohmann)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} missing: install libcli11-dev and nlohmann-json3-dev")
  endif()
  file(CREATE_LINK /usr/include/${dir} ${ZERLO_CLIENT_HEADERS}/${dir} SYMBOLIC)
endforeach()
add_subdirectory(tools/zerloctl)
add_subdirectory(tools/zerlomon)
add_subdirectory(installer)

enable_testing()
add_test(NAME zerlo_sys_pe
  COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/target/check_zerlo_sys.py $<TARGET_FILE:zerlo_sys> ${CMAKE_BINARY_DIR}/zerlo.map)
set_tests_properties(zerlo_sys_pe PROPERTIES LABELS target)
# Requests run on the caller's 12 KiB kernel stack: no driver frame may take
# more than 512 bytes of it (report texts live in the caller's buffer).
add_test(NAME zerlo_sys_stack_frames
  COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/scripts/driver-memory ${CMAKE_BINARY_DIR} --max-frame 512)
set_tests_properties(zerlo_sys_stack_frames PROPERTIES LABELS target)

# zerloctl.exe starts on Windows XP SP3: it imports nothing XP's DLLs lack.
# The lists of XP's exports and where they come from: tests/target/xp-exports.
set(ZERLO_XP_EXPORTS ${CMAKE_SOURCE_DIR}/tests/target/xp-exports)
add_test(NAME zerloctl_xp_imports
  COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/target/check_xp_imports.py --exports ${ZERLO_XP_EXPORTS}
    $<TARGET_FILE:zerloctl> $<TARGET_FILE:zerlomon> ${ZERLO_SETUP} ${ZERLO_UNINSTALLER} ${ZERLO_NSIS_PLUGINS})
# ... and the check is seen to fail on a program that imports a newer function.
add_executable(post_xp_import tests/target/post_xp_import.c)
target_compile_definitions(post_xp_import PRIVATE _WIN32_WINNT=0x0600)
add_test(NAME zerloctl_xp_imports_refuses
  COMMAND ${CMAKE_SOURCE_DIR}/tests/target/check_xp_imports_test.sh ${CMAKE_SOURCE_DIR}/tests/target/check_xp_imports.py
    ${ZERLO_XP_EXPORTS} $<TARGET_FILE:post_xp_import>)
set_tests_properties(zerloctl_xp_imports zerloctl_xp_imports_refuses PROPERTIES LABELS target)

# The shipped driver on an NT I/O manager we did not write: Wine's driver
# host loads zerlo.sys as a kernel-driver service, installed and driven by
# zerloctl.exe.
add_test(NAME zerlo_sys_wine
  COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/target/wine_driver_test.py
    --sys $<TARGET_FILE:zerlo_sys> --zerloctl $<TARGET_FILE:zerloctl>
    --prefix ${CMAKE_BINARY_DIR}/wine/prefix --register-i386 ${CMAKE_SOURCE_DIR}/scripts/enable-i386-exec)
set_tests_properties(zerlo_sys_wine PROPERTIES LABELS wine TIMEOUT 600 RUN_SERIAL TRUE)

# Zerlo Monitor under Wine, on an X server without a screen: the replay of
# a heat step, its screenshot, sixteen sensors with failed readings, a
# clock set back, and a device that is missing under a ZerloAuto the window stops and gives a
# preset.
add_test(NAME zerlomon_wine
  COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/target/wine_monitor_test.py
    --zerlomon $<TARGET_FILE:zerlomon> --zerloctl $<TARGET_FILE:zerloctl> --replay ${CMAKE_SOURCE_DIR}/tests/monitor/heat_step.jsonl
    --config ${CMAKE_SOURCE_DIR}/tests/monitor/cool.json
    --sensors-replay ${CMAKE_SOURCE_DIR}/tests/monitor/sixteen_then_three.jsonl
    --clock-replay ${CMAKE_SOURCE_DIR}/tests/monitor/clock_back.jsonl
    --prefix ${CMAKE_BINARY_DIR}/wine/monitor-prefix
    --screenshot ${CMAKE_BINARY_DIR}/wine/monitor.png
    --fan-control-screenshot ${CMAKE_BINARY_DIR}/wine/monitor-fan-control.png --register-i386 ${CMAKE_SOURCE_DIR}/scripts/enable-i386-exec)
set_tests_properties(zerlomon_wine PROPERTIES LABELS wine TIMEOUT 600 RUN_SERIAL TRUE)

# zerlo-1.5-setup.exe under Wine as an owner runs it: silent install,
# upgrade over an edited configuration, uninstall back to the prefix as it
# was, and the components and finish pages on Xvfb (the screenshots in docs/).
add_test(NAME zerlo_setup_wine
  COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/target/wine_setup_test.py
    --setup ${ZERLO_SETUP} --build ${CMAKE_BINARY_DIR} --prefix ${CMAKE_BINARY_DIR}/wine/setup-prefix
    --screenshots ${CMAKE_BINARY_DIR}/wine --register-i386 ${CMAKE_SOURCE_DIR}/scripts/enable-i386-exec)
set_tests_properties(zerlo_setup_wine PROPERTIES LABELS wine TIMEOUT 900 RUN_SERIAL TRUE)
