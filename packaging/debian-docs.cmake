# SPDX-License-Identifier: MIT
# Run by CPack on the staged tree: turns the installed documentation into what
# Debian policy asks of a package. A plain `cmake --install` keeps the plain files.
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(doc ${root}/${CPACK_GREETING_DOCDIR})

function(gzip_n file)
  execute_process(COMMAND gzip -9nf ${file} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

file(GLOB pages ${root}/${CPACK_GREETING_MANDIR}/man1/*.1)
foreach(page IN LISTS pages)
  gzip_n(${page})
endforeach()

# The licence terms, below the notice, as a machine-readable copyright file.
file(READ ${CPACK_GREETING_SOURCE_DIR}/LICENSE terms)
string(REGEX REPLACE "^.*\nCopyright [^\n]*\n\n" "" terms "${terms}")
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
file(WRITE ${doc}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: ${CPACK_PACKAGE_NAME}\n\n"
  "Files: *\nCopyright: 2026 The greeting authors\nLicense: Expat\n ${terms}\n")

# Lintian reads the changelog of a native package in Debian's format.
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/debian-changelog.sh
  ${CPACK_GREETING_SOURCE_DIR}/NEWS.md ${CPACK_PACKAGE_NAME} ${CPACK_PACKAGE_CONTACT}
  OUTPUT_FILE ${doc}/changelog COMMAND_ERROR_IS_FATAL ANY)
gzip_n(${doc}/changelog)
file(REMOVE ${doc}/LICENSE ${doc}/NEWS.md)

# The umask of whoever builds must not reach the package: CMake's own mkdir
# and file(WRITE) are subject to it.
file(GLOB_RECURSE staged LIST_DIRECTORIES true ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*)
foreach(path IN LISTS staged)
  if(IS_DIRECTORY ${path} OR path MATCHES "/bin/[^/]+$")
    file(CHMOD ${path} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
      WORLD_READ WORLD_EXECUTE)
  else()
    file(CHMOD ${path} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
