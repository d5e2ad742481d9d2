# Run by CPack on the staged files before it builds each package. The .deb gets what Debian
# asks of a package's documentation: compressed manual pages, the copyright file in Debian's
# machine-readable form (it carries the licence text, so LICENSE is not kept beside it) and
# changelog.Debian.gz. The .tar.gz keeps the files as `cmake --install` puts them.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(_root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(_doc "${_root}/share/doc/${CPACK_PACKAGE_NAME}")
set(_files "${CMAKE_CURRENT_LIST_DIR}")

file(REMOVE "${_doc}/LICENSE")
file(COPY "${_files}/copyright" DESTINATION "${_doc}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
configure_file("${_files}/changelog.in" "${_doc}/changelog.Debian" @ONLY)
file(CHMOD "${_doc}/changelog.Debian" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# What dh_strip also drops: the compilers' version strings.
find_program(_strip NAMES strip)
if(_strip)
  execute_process(COMMAND "${_strip}" --remove-section=.comment "${_root}/bin/${CPACK_PACKAGE_NAME}")
endif()

# -n: no name or time stamp inside, so the same files give the same package.
file(GLOB _pages "${_root}/share/man/man*/*.[1-9]")
foreach(_file IN LISTS _pages ITEMS "${_doc}/changelog.Debian")
  execute_process(COMMAND gzip -9nf "${_file}" RESULT_VARIABLE _failed)
  if(_failed)
    message(FATAL_ERROR "gzip -9n ${_file} failed")
  endif()
endforeach()
