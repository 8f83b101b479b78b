# SPDX-License-Identifier: MIT
# The hardening that distributions build their packages with, added to optimised builds where the
# compiler supports it and neither the compiler nor the builder's own flags set it already: a
# second definition of _FORTIFY_SOURCE is an error under -Werror, and an explicit
# -fno-stack-protector is the builder's choice. Flags passed in CXXFLAGS and LDFLAGS still apply.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)

set(optimised $<NOT:$<CONFIG:Debug>>)
# Each probe's cached answer holds for the compiler and flags it was probed with only.
set(probed_with "${CMAKE_CXX_COMPILER} ${CMAKE_CXX_FLAGS} ${CMAKE_EXE_LINKER_FLAGS}")
if(NOT probed_with STREQUAL "${GREETING_HARDENING_PROBED_WITH}")
  foreach(probe FORTIFY_UNSET STACK_PROTECTOR_UNSET HAS_STACK_PROTECTOR_STRONG HAS_FORMAT_SECURITY
      HAS_RELRO)
    unset(GREETING_${probe} CACHE)
  endforeach()
  set(GREETING_HARDENING_PROBED_WITH "${probed_with}" CACHE INTERNAL "")
endif()
set(CMAKE_REQUIRED_FLAGS -O2)
check_cxx_source_compiles("#ifdef _FORTIFY_SOURCE\n#error set\n#endif\nint main() {}"
  GREETING_FORTIFY_UNSET)
check_cxx_source_compiles("#if defined(__SSP__) || defined(__SSP_STRONG__) || defined(__SSP_ALL__)\n#error set\n#endif\nint main() {}"
  GREETING_STACK_PROTECTOR_UNSET)
unset(CMAKE_REQUIRED_FLAGS)
check_cxx_compiler_flag(-fstack-protector-strong GREETING_HAS_STACK_PROTECTOR_STRONG)
check_cxx_compiler_flag("-Wformat -Werror=format-security" GREETING_HAS_FORMAT_SECURITY)
check_linker_flag(CXX -Wl,-z,relro GREETING_HAS_RELRO)

if(GREETING_FORTIFY_UNSET)
  target_compile_definitions(greeting_options INTERFACE $<${optimised}:_FORTIFY_SOURCE=2>)
endif()
if(GREETING_STACK_PROTECTOR_UNSET AND GREETING_HAS_STACK_PROTECTOR_STRONG
   AND NOT CMAKE_CXX_FLAGS MATCHES "stack-protector")
  target_compile_options(greeting_options INTERFACE $<${optimised}:-fstack-protector-strong>)
endif()
if(GREETING_HAS_FORMAT_SECURITY AND NOT CMAKE_CXX_FLAGS MATCHES "format-security")
  target_compile_options(greeting_options INTERFACE "$<${optimised}:-Wformat;-Werror=format-security>")
endif()
if(GREETING_HAS_RELRO AND NOT CMAKE_EXE_LINKER_FLAGS MATCHES "relro")
  target_link_options(greeting_options INTERFACE $<${optimised}:LINKER:-z,relro>)
endif()
