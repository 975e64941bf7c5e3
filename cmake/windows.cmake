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
  if(EXISTS ${PROJECT_SOURCE_DIR}/tests/windows/CMakeLists.txt)
    add_subdirectory(tests/windows)
  endif()
endif()
