# The Windows program, cross-built with mingw-w64:
#
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
#
# builds kavro.exe, KAVROD32.dll and kavroctl.exe from the same portable core
# (kavro_portable) and companion-library queueing core (kavrod_core) as the
# Linux programs, with the Win32 layer of src/platform/win32 in place
# of src/platform/posix, and the portable unit tests (run under Wine by
# scripts/test-windows.sh).

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KAVRO_WIN_BITS 32)
else()
  set(KAVRO_WIN_BITS 64)
endif()

# Windows 7 is the oldest system the calls used here (CancelIoEx, the
# pipe's PIPE_REJECT_REMOTE_CLIENTS, GetTickCount64) exist on.
set(KAVRO_WIN_DEFINITIONS _WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)

# The portable core is the kavro_portable target of the top-level build, the
# very library the Linux program links; only the platform layer differs.

# The Win32 layer: hidden window, registry, COM ports, SetupAPI and WinUSB,
# Winsock (loaded on first use, so not linked), the trace log's file and the
# companion DLL's loader.
file(GLOB KAVRO_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/win32/*.cpp)
add_library(kavro_win32 STATIC ${KAVRO_WIN32_SOURCES})
target_compile_definitions(kavro_win32 PUBLIC ${KAVRO_WIN_DEFINITIONS})
target_link_libraries(kavro_win32 PUBLIC kavro_portable setupapi winusb user32 gdi32 advapi32)

# CLI11 is header-only; only its own directory goes on the cross include
# path, never the host's /usr/include as a whole.
set(KAVRO_CLI11_INCLUDE ${CMAKE_BINARY_DIR}/cli11-include)
if(EXISTS /usr/include/CLI/CLI.hpp AND NOT EXISTS ${KAVRO_CLI11_INCLUDE}/CLI)
  file(MAKE_DIRECTORY ${KAVRO_CLI11_INCLUDE})
  file(CREATE_LINK /usr/include/CLI ${KAVRO_CLI11_INCLUDE}/CLI SYMBOLIC)
endif()

# kavro.exe: a GUI-subsystem program (no console window), as the hidden
# control window is its only face.
if(EXISTS ${CMAKE_SOURCE_DIR}/src/win32_main.cpp)
  # The Event Log's message table (id 1: "%1"), compiled by windmc from
  # binutils-mingw-w64 beside windres.
  string(REGEX REPLACE "windres$" "windmc" KAVRO_WINDMC ${CMAKE_RC_COMPILER})
  set(KAVRO_MESSAGES_DIR ${CMAKE_BINARY_DIR}/messages)
  add_custom_command(OUTPUT ${KAVRO_MESSAGES_DIR}/kavro_messages.rc ${KAVRO_MESSAGES_DIR}/kavro_messages_MSG00409.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KAVRO_MESSAGES_DIR}
    COMMAND ${KAVRO_WINDMC} -b -h ${KAVRO_MESSAGES_DIR} -r ${KAVRO_MESSAGES_DIR}
            ${CMAKE_SOURCE_DIR}/packaging/windows/kavro_messages.mc
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/windows/kavro_messages.mc
    COMMENT "Compiling kavro.exe's Event Log message table")
  # The version record and the manifest carry the project's version.
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/kavro_version.h.in ${KAVRO_MESSAGES_DIR}/kavro_version.h @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/kavro.manifest.in ${KAVRO_MESSAGES_DIR}/kavro.manifest @ONLY)
  add_executable(kavro WIN32 ${CMAKE_SOURCE_DIR}/src/win32_main.cpp ${CMAKE_SOURCE_DIR}/packaging/windows/kavro.rc
                 ${KAVRO_MESSAGES_DIR}/kavro_messages.rc)
  set_source_files_properties(${KAVRO_MESSAGES_DIR}/kavro_messages.rc PROPERTIES
    OBJECT_DEPENDS ${KAVRO_MESSAGES_DIR}/kavro_messages_MSG00409.bin)
  set_source_files_properties(${CMAKE_SOURCE_DIR}/packaging/windows/kavro.rc PROPERTIES
    OBJECT_DEPENDS "${KAVRO_MESSAGES_DIR}/kavro_version.h;${KAVRO_MESSAGES_DIR}/kavro.manifest;${CMAKE_SOURCE_DIR}/packaging/windows/kavro.ico")
  target_link_libraries(kavro PRIVATE kavro_win32)
  target_include_directories(kavro PRIVATE ${CMAKE_SOURCE_DIR}/packaging/windows ${KAVRO_MESSAGES_DIR}
                             ${CMAKE_SOURCE_DIR}/libkavrod/win32)
endif()

# KAVROD32.dll: exports by ordinal only. On the 32-bit build the stdcall
# names carry their argument size (DeliverPayload@12); --kill-at drops it
# from what would be the export name, and NONAME drops the name altogether.
if(EXISTS ${CMAKE_SOURCE_DIR}/libkavrod/win32/kavrod32.cpp)
  if(KAVRO_WIN_BITS EQUAL 32)
    set(KAVROD32_DELIVER DeliverPayload@12)
    set(KAVROD32_SIGNAL SignalLinkEvent@4)
    set(KAVROD32_WAIT KavrodWaitForRoom@4)
    set(KAVROD32_STATUS KavrodQueryStatus@4)
  else()
    set(KAVROD32_DELIVER DeliverPayload)
    set(KAVROD32_SIGNAL SignalLinkEvent)
    set(KAVROD32_WAIT KavrodWaitForRoom)
    set(KAVROD32_STATUS KavrodQueryStatus)
  endif()
  # The pipe server on the Linux library's queueing core (kavrod_core),
  # apart from the DLL's entry points so that the unit tests link them
  # directly.
  add_library(kavrod32_service STATIC ${CMAKE_SOURCE_DIR}/libkavrod/win32/pipe_server.cpp
    ${CMAKE_SOURCE_DIR}/libkavrod/win32/win32_log_files.cpp)
  target_include_directories(kavrod32_service PUBLIC ${CMAKE_SOURCE_DIR}/libkavrod/win32)
  target_compile_definitions(kavrod32_service PUBLIC ${KAVRO_WIN_DEFINITIONS})
  target_link_libraries(kavrod32_service PUBLIC kavrod_core advapi32)
  # Ordinal 11, where the library's notices go.
  if(KAVRO_WIN_BITS EQUAL 32)
    set(KAVROD32_NOTICE_SINK KavrodSetNoticeSink@8)
    set(KAVROD32_OPEN_LOG KavrodOpenRecordLog@24)
  else()
    set(KAVROD32_NOTICE_SINK KavrodSetNoticeSink)
    set(KAVROD32_OPEN_LOG KavrodOpenRecordLog)
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/libkavrod/win32/kavrod32.def.in ${CMAKE_BINARY_DIR}/kavrod32.def @ONLY)
  add_library(kavrod32 SHARED ${CMAKE_SOURCE_DIR}/libkavrod/win32/kavrod32.cpp ${CMAKE_BINARY_DIR}/kavrod32.def)
  set_target_properties(kavrod32 PROPERTIES OUTPUT_NAME KAVROD32 PREFIX "")
  target_link_libraries(kavrod32 PRIVATE kavrod32_service)
  target_link_options(kavrod32 PRIVATE -Wl,--kill-at)
  if(TARGET kavro)
    add_dependencies(kavro kavrod32)
  endif()
endif()

# kavroctl.exe: the command-line client (console subsystem).
file(GLOB KAVROCTL_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/kavroctl/win32/*.cpp)
if(KAVROCTL_WIN32_SOURCES)
  add_executable(kavroctl ${KAVROCTL_WIN32_SOURCES})
  target_include_directories(kavroctl PRIVATE ${KAVRO_CLI11_INCLUDE} ${CMAKE_SOURCE_DIR}/tools/kavroctl ${CMAKE_SOURCE_DIR}/include)
  target_compile_definitions(kavroctl PRIVATE ${KAVRO_WIN_DEFINITIONS} KAVRO_VERSION="${PROJECT_VERSION}")
endif()

# kavro-close.exe: what the installer runs before it replaces or removes the
# files (packaging/windows/kavro_close.c); kept in the installer only.
add_executable(kavro_close WIN32 ${CMAKE_SOURCE_DIR}/packaging/windows/kavro_close.c)
set_target_properties(kavro_close PROPERTIES OUTPUT_NAME kavro-close)
target_compile_definitions(kavro_close PRIVATE ${KAVRO_WIN_DEFINITIONS})

# The pipe bench's yardstick relay and client (bench/pipe_bench.py, run
# under Wine); not part of any package.
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/win32/pipe_relay.c)
  add_executable(pipe_relay ${CMAKE_SOURCE_DIR}/bench/win32/pipe_relay.c)
  target_link_libraries(pipe_relay PRIVATE ws2_32)
  add_executable(pipe_sink ${CMAKE_SOURCE_DIR}/bench/win32/pipe_sink.c)
  foreach(target pipe_relay pipe_sink)
    target_compile_definitions(${target} PRIVATE ${KAVRO_WIN_DEFINITIONS})
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  endforeach()
endif()

enable_testing()
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/win32/CMakeLists.txt)
  add_subdirectory(tests/win32)
endif()

if(EXISTS ${CMAKE_SOURCE_DIR}/packaging/windows/CMakeLists.txt)
  add_subdirectory(packaging/windows)
endif()
