# libmosquitto for quillomarvet-cli.exe, linked statically so that the .exe stays one file:
# the target qm::mosquitto. Cross-built with mingw-w64 on Linux, scripts/libmosquitto_mingw.sh
# builds it once from Debian's source package into build/libmosquitto/<triple>; elsewhere point
# QM_MOSQUITTO_ROOT at a static build (include/mosquitto.h, lib/ with the library).
set(QM_MOSQUITTO_ROOT "" CACHE PATH
  "A static libmosquitto for this target; empty: built by scripts/libmosquitto_mingw.sh")

set(_root "${QM_MOSQUITTO_ROOT}")
if(NOT _root)
  if(NOT (CMAKE_HOST_UNIX AND MINGW AND QM_MINGW_TRIPLE))
    message(FATAL_ERROR "Set QM_MOSQUITTO_ROOT to a static build of libmosquitto for this target")
  endif()
  set(_root ${PROJECT_SOURCE_DIR}/build/libmosquitto/${QM_MINGW_TRIPLE})
  if(NOT EXISTS ${_root}/lib/libmosquitto_static.a)
    message(STATUS "Building libmosquitto for ${QM_MINGW_TRIPLE} (once, into ${_root})")
  endif()
  execute_process(
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/libmosquitto_mingw.sh ${QM_MINGW_TRIPLE} ${_root}
    RESULT_VARIABLE _failed)
  if(_failed)
    message(FATAL_ERROR "scripts/libmosquitto_mingw.sh ${QM_MINGW_TRIPLE} failed")
  endif()
endif()

if(MSVC)
  set(_library ${_root}/lib/mosquitto_static.lib)
else()
  set(_library ${_root}/lib/libmosquitto_static.a)
endif()
if(NOT EXISTS ${_library} OR NOT EXISTS ${_root}/include/mosquitto.h)
  message(FATAL_ERROR "No static libmosquitto in ${_root}")
endif()

add_library(qm::mosquitto STATIC IMPORTED)
# Its own needs on Windows: sockets, the security and crypto API, and with mingw-w64 the
# winpthreads its threading is written for (static, with the executable's -static).
set(_needs ws2_32 advapi32)
if(MINGW)
  list(APPEND _needs winpthread)
endif()
set_target_properties(qm::mosquitto PROPERTIES
  IMPORTED_LOCATION ${_library}
  INTERFACE_INCLUDE_DIRECTORIES ${_root}/include
  INTERFACE_COMPILE_DEFINITIONS LIBMOSQUITTO_STATIC
  INTERFACE_LINK_LIBRARIES "${_needs}")

# Built into quillomarvet-cli.exe, so their notices go into the release package beside it.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/THIRD-PARTY-NOTICES.txt DESTINATION .)
