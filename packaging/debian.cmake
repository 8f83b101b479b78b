# SPDX-License-Identifier: MIT
# `cpack -G DEB` in a Release build makes greeting_<version>_<arch>.deb. Built twice from the same
# sources with the same SOURCE_DATE_EPOCH, under any umask, it gives the same bytes.
set(CPACK_PACKAGE_NAME greeting)
set(CPACK_PACKAGE_CONTACT "greeting maintainers <maintainers@greeting.invalid>"
  CACHE STRING "Maintainer named in the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "client sends a fixed 17-byte greeting to UDP port 8080 of the local
host, waits for one datagram in reply and prints it: a small probe of a
UDP service on this host that scripts can rely on.

greeting-peer is a demo service for trying the client out: it answers every
datagram on 127.0.0.1:8080 and prints what came and from where.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Only this component, so that packaging leaves the install_manifest.txt of a
# user's own `cmake --install` alone.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};greeting;/")
# Debian's own form of the documentation, made in the package's tree only.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian-docs.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-member-modes.cmake)
set(CPACK_GREETING_DOCDIR ${CMAKE_INSTALL_DOCDIR})
set(CPACK_GREETING_MANDIR ${CMAKE_INSTALL_MANDIR})
set(CPACK_GREETING_SOURCE_DIR ${PROJECT_SOURCE_DIR})
include(CPack)
if(CMAKE_VERSION VERSION_LESS 3.19)
  message(NOTICE "CMake ${CMAKE_VERSION} runs no CPack hooks (they need 3.19): a Debian package "
    "made here lacks its copyright file and changelog, and its manual pages are not compressed")
endif()
