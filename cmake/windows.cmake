# The Windows build: hydrix.dll from the driver's sources and the Windows side of
# platform/, importing the host services from the host's three libraries. Included by
# the top CMakeLists.txt when the target is Windows (see cmake/toolchain-mingw-*.cmake).

set(HYDRIX_COLLECTOR_DLL "hydrix_runtime.dll" CACHE STRING
  "DLL that provides the collector services (queues, pool, trace, serial port)")
set(HYDRIX_PROFILE_DLL "hydrix_runtime.dll" CACHE STRING
  "DLL that provides the profile services (myGetPrivateProfileInt/String, logEvent)")
set(HYDRIX_TIME_DLL "hydrix_runtime.dll" CACHE STRING
  "DLL that provides the time services (offsetTZ, addORVELTimeDay, zeroORVELTime, isZeroORVELTime)")
set(HYDRIX_CALLING_CONVENTION "cdecl" CACHE STRING
  "Calling convention of the entry points and host services: cdecl or stdcall")
set_property(CACHE HYDRIX_CALLING_CONVENTION PROPERTY STRINGS cdecl stdcall)
if(NOT HYDRIX_CALLING_CONVENTION MATCHES "^(cdecl|stdcall)$")
  message(FATAL_ERROR "HYDRIX_CALLING_CONVENTION must be cdecl or stdcall")
endif()

# Only 32-bit x86 decorates __stdcall names (name@N); elsewhere the setting changes nothing.
if(HYDRIX_CALLING_CONVENTION STREQUAL "stdcall" AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(HYDRIX_DECORATED ON)
else()
  set(HYDRIX_DECORATED OFF)
endif()

if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES ${HYDRIX_MINGW_PREFIX}-dlltool dlltool REQUIRED)
endif()
if(NOT CMAKE_OBJDUMP)
  find_program(CMAKE_OBJDUMP NAMES ${HYDRIX_MINGW_PREFIX}-objdump objdump REQUIRED)
endif()

# windows/*.def name every function with its argument bytes (name@N). Written out for
# this build: plain names, or for decorated __stdcall the form each tool needs.
#   mode EXPORTS: the driver's exports, "name = name@N" (export the plain name)
#   mode IMPORTS: a host library, "name@N" for dlltool --kill-at
function(hydrix_write_def source mode out)
  file(STRINGS ${source} lines)
  set(text "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)(@[0-9]+)?[ \t]*$")
      set(name ${CMAKE_MATCH_1})
      set(bytes "${CMAKE_MATCH_2}")
      if(NOT HYDRIX_DECORATED OR bytes STREQUAL "")
        string(APPEND text "    ${name}\n")
      elseif(mode STREQUAL "EXPORTS")
        string(APPEND text "    ${name} = ${name}${bytes}\n")
      else()
        string(APPEND text "    ${name}${bytes}\n")
      endif()
    elseif(NOT line MATCHES "^;")
      string(APPEND text "${line}\n")
    endif()
  endforeach()
  set(old "")
  if(EXISTS ${out})
    file(READ ${out} old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE ${out} "${text}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()

set(HYDRIX_WINDOWS_GEN ${PROJECT_BINARY_DIR}/windows)
hydrix_write_def(${PROJECT_SOURCE_DIR}/windows/hydrix.def EXPORTS ${HYDRIX_WINDOWS_GEN}/hydrix.def)

# One import library per host library, each naming its DLL.
set(HYDRIX_IMPORT_LIBS "")
foreach(lib collector profile time)
  string(TOUPPER ${lib} LIB)
  set(def ${HYDRIX_WINDOWS_GEN}/${lib}.def)
  set(implib ${HYDRIX_WINDOWS_GEN}/libhydrix_host_${lib}.a)
  hydrix_write_def(${PROJECT_SOURCE_DIR}/windows/${lib}.def IMPORTS ${def})
  set(kill "")
  if(HYDRIX_DECORATED)
    set(kill --kill-at)
  endif()
  add_custom_command(OUTPUT ${implib}
    COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --dllname ${HYDRIX_${LIB}_DLL} ${kill}
            --output-lib ${implib}
    DEPENDS ${def}
    COMMENT "Import library for the host's ${lib} library (${HYDRIX_${LIB}_DLL})"
    VERBATIM)
  add_custom_target(hydrix_host_${lib}_implib DEPENDS ${implib})
  list(APPEND HYDRIX_IMPORT_LIBS ${implib})
endforeach()

# Settings that every Windows object of ours shares.
add_library(hydrix_windows_flags INTERFACE)
target_include_directories(hydrix_windows_flags INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_definitions(hydrix_windows_flags INTERFACE
  WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601
  $<$<STREQUAL:${HYDRIX_CALLING_CONVENTION},stdcall>:HYDRIX_STDCALL>)
# No libstdc++-6, libgcc_s or libwinpthread-1 beside the DLL: everything static.
target_link_options(hydrix_windows_flags INTERFACE -static -static-libgcc -static-libstdc++)

file(GLOB HYDRIX_CORE_SOURCES CONFIGURE_DEPENDS
  driver/*.cpp telegram/*.cpp v6/*.cpp platform/common/*.cpp platform/windows/*.cpp)
add_library(hydrix SHARED ${HYDRIX_CORE_SOURCES} ${HYDRIX_WINDOWS_GEN}/hydrix.def)
set_target_properties(hydrix PROPERTIES PREFIX "" OUTPUT_NAME hydrix)
target_compile_definitions(hydrix PRIVATE HYDRIX_BUILDING_DRIVER)
target_link_libraries(hydrix PRIVATE hydrix_windows_flags ${HYDRIX_IMPORT_LIBS})
foreach(lib collector profile time)
  add_dependencies(hydrix hydrix_host_${lib}_implib)
endforeach()

# The Windows side of platform/, also for the host runtime and the test programs.
file(GLOB HYDRIX_PLATFORM_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/platform/common/*.cpp ${PROJECT_SOURCE_DIR}/platform/windows/*.cpp)
add_library(hydrix_platform_win STATIC ${HYDRIX_PLATFORM_SOURCES})
target_link_libraries(hydrix_platform_win PUBLIC hydrix_windows_flags)

# ---- The host runtime (hydrix_runtime.dll): the host services of all three host
# libraries in one DLL, and the runtime's own interface for hydrix.exe. Built when the
# three libraries have one name (as by default), under that name.
set(HYDRIX_RUNTIME_NAME "")
if(HYDRIX_COLLECTOR_DLL STREQUAL HYDRIX_PROFILE_DLL AND HYDRIX_COLLECTOR_DLL STREQUAL HYDRIX_TIME_DLL
   AND HYDRIX_COLLECTOR_DLL MATCHES "^(.+)\\.[dD][lL][lL]$")
  set(HYDRIX_RUNTIME_NAME ${CMAKE_MATCH_1})
endif()
if(HYDRIX_RUNTIME_NAME)
  # Its exports: the services (with plain names, whatever the calling convention) from
  # the three libraries' .def files; the runtime's interface is marked in runtime.h.
  set(runtime_def ${HYDRIX_WINDOWS_GEN}/hydrix_runtime.def)
  set(text "EXPORTS\n")
  foreach(lib collector profile time)
    hydrix_write_def(${PROJECT_SOURCE_DIR}/windows/${lib}.def EXPORTS ${HYDRIX_WINDOWS_GEN}/runtime_${lib}.def)
    file(STRINGS ${HYDRIX_WINDOWS_GEN}/runtime_${lib}.def lines REGEX "^[ \t]")
    foreach(line IN LISTS lines)
      string(APPEND text "${line}\n")
    endforeach()
  endforeach()
  file(WRITE ${runtime_def}.new "${text}")
  file(COPY_FILE ${runtime_def}.new ${runtime_def} ONLY_IF_DIFFERENT)
  file(GLOB HYDRIX_RUNTIME_SOURCES CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/runtime/*.cpp ${PROJECT_SOURCE_DIR}/runtime/windows/*.cpp)
  # The event log's messages, as the DLL's message table: windmc makes a resource script
  # and the header of the message numbers from the .mc, windres compiles it into the DLL.
  enable_language(RC)
  find_program(HYDRIX_WINDMC NAMES ${HYDRIX_MINGW_PREFIX}-windmc i686-w64-mingw32-windmc
                                    x86_64-w64-mingw32-windmc windmc REQUIRED)
  set(messages ${HYDRIX_WINDOWS_GEN}/messages)
  add_custom_command(OUTPUT ${messages}/hydrix_messages.rc ${messages}/hydrix_messages.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${messages}
    COMMAND ${HYDRIX_WINDMC} -h ${messages} -r ${messages} ${PROJECT_SOURCE_DIR}/windows/hydrix_messages.mc
    DEPENDS ${PROJECT_SOURCE_DIR}/windows/hydrix_messages.mc
    COMMENT "Message table of the event log source"
    VERBATIM)
  add_library(hydrix_runtime SHARED ${HYDRIX_RUNTIME_SOURCES} ${runtime_def} ${messages}/hydrix_messages.rc
                                    ${messages}/hydrix_messages.h)
  target_include_directories(hydrix_runtime PRIVATE ${messages})
  set_target_properties(hydrix_runtime PROPERTIES PREFIX "" OUTPUT_NAME ${HYDRIX_RUNTIME_NAME})
  target_compile_definitions(hydrix_runtime PRIVATE HYDRIX_BUILDING_RUNTIME)
  target_link_libraries(hydrix_runtime PRIVATE hydrix_platform_win advapi32)

  # hydrix.exe: the command-line host, beside hydrix.dll and the runtime. Its two
  # header-only libraries come from the build machine (CLI11, nlohmann/json), through a
  # folder of their own so that no other Linux header is in reach.
  set(HYDRIX_TOOL_DIR ${PROJECT_SOURCE_DIR}/tools/hydrix)
  set(third ${PROJECT_BINARY_DIR}/third_party)
  foreach(dir CLI nlohmann)
    if(NOT EXISTS ${third}/${dir})
      if(NOT EXISTS /usr/include/${dir})
        message(FATAL_ERROR "hydrix.exe needs /usr/include/${dir} (apt-get install libcli11-dev nlohmann-json3-dev)")
      endif()
      file(MAKE_DIRECTORY ${third})
      file(CREATE_LINK /usr/include/${dir} ${third}/${dir} SYMBOLIC)
    endif()
  endforeach()
  # The tools' shared part (tools/common) and the command-line host; the gateway is Linux's.
  set(HYDRIX_COMMON_DIR ${PROJECT_SOURCE_DIR}/tools/common)
  file(GLOB HYDRIX_CLI_SOURCES CONFIGURE_DEPENDS ${HYDRIX_COMMON_DIR}/*.cpp ${HYDRIX_COMMON_DIR}/windows/*.cpp
       ${HYDRIX_TOOL_DIR}/*.cpp ${HYDRIX_TOOL_DIR}/windows/*.cpp)
  add_executable(hydrix-cli ${HYDRIX_CLI_SOURCES})
  set_target_properties(hydrix-cli PROPERTIES OUTPUT_NAME hydrix)
  target_include_directories(hydrix-cli PRIVATE ${HYDRIX_TOOL_DIR} ${HYDRIX_COMMON_DIR})
  target_include_directories(hydrix-cli SYSTEM PRIVATE ${third})
  target_compile_definitions(hydrix-cli PRIVATE HYDRIX_LIBRARY_PATH="hydrix.dll" _POSIX_C_SOURCE=200809L)
  target_compile_options(hydrix-cli PRIVATE -include ${HYDRIX_COMMON_DIR}/windows/posix_time.h)
  # The host services by their plain names, as the driver imports them (the runtime's own
  # import library knows only those: a stdcall caller asks for name@N).
  target_link_libraries(hydrix-cli PRIVATE ${HYDRIX_IMPORT_LIBS} hydrix_runtime hydrix_windows_flags)
  add_dependencies(hydrix-cli hydrix)

  # hydrix-eventlog.exe: registers the event log source (or removes it) for a site.
  add_executable(hydrix-eventlog ${HYDRIX_TOOL_DIR}/windows/eventlog/hydrix_eventlog.cpp)
  target_link_libraries(hydrix-eventlog PRIVATE hydrix_runtime hydrix_windows_flags)
endif()

# The tables of the finished DLL: exactly the eleven exports, and imports from system
# DLLs and the three configured host libraries only.
if(HYDRIX_TESTS)
  enable_testing()
  add_test(NAME hydrix_dll_tables
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-dll-tables.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:hydrix>
            ${HYDRIX_COLLECTOR_DLL} ${HYDRIX_PROFILE_DLL} ${HYDRIX_TIME_DLL})
  # The check itself: told that the host libraries have other names, it must object.
  add_test(NAME hydrix_dll_tables_catches_strangers
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-dll-tables.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:hydrix>
            not_the_collector.dll not_the_profile.dll not_the_time.dll)
  set_tests_properties(hydrix_dll_tables_catches_strangers PROPERTIES WILL_FAIL TRUE)
  # The host runtime and hydrix.exe need nothing beside them but each other.
  if(TARGET hydrix_runtime)
    add_test(NAME hydrix_runtime_imports
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-dll-tables.sh --imports ${CMAKE_OBJDUMP}
              $<TARGET_FILE:hydrix_runtime>)
    add_test(NAME hydrix_exe_imports
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-dll-tables.sh --imports ${CMAKE_OBJDUMP}
              $<TARGET_FILE:hydrix-cli> ${HYDRIX_COLLECTOR_DLL})
  endif()
  if(EXISTS ${PROJECT_SOURCE_DIR}/tests/windows/CMakeLists.txt)
    add_subdirectory(tests/windows)
  endif()
endif()
