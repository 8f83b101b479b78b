# SPDX-License-Identifier: MIT
# Run by CPack on the finished package. CPack gives the three members of the
# .deb's ar archive the modes of the files it wrote them from, that is, the
# builder's umask; this sets the mode that dpkg-deb itself writes, 100644, so
# that the same sources make the same bytes whoever builds them. Each member
# header is 60 bytes: the mode is the 8 at offset 40, the size the 10 at 48.
file(WRITE ${CPACK_TOPLEVEL_DIRECTORY}/ar-mode "100644  ")
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(header 8) # after "!<arch>\n"
  foreach(member debian-binary control data)
    math(EXPR mode_at "${header} + 40")
    math(EXPR size_at "${header} + 48")
    execute_process(COMMAND dd of=${deb} bs=1 seek=${mode_at} conv=notrunc status=none
      INPUT_FILE ${CPACK_TOPLEVEL_DIRECTORY}/ar-mode COMMAND_ERROR_IS_FATAL ANY)
    file(READ ${deb} size OFFSET ${size_at} LIMIT 10)
    string(STRIP "${size}" size)
    math(EXPR header "${header} + 60 + ${size} + ${size} % 2")
  endforeach()
endforeach()
