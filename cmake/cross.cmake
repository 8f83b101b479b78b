# SPDX-License-Identifier: MIT
# A cross build for a Debian architecture with the cross compiler that Debian packages for it
# (g++-TRIPLE) and qemu-user to run what it builds:
#   cmake -S . -B out/cross-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/cross.cmake \
#     -DGREETING_CROSS_TRIPLE=arm-linux-gnueabihf -DGREETING_CROSS_QEMU=arm
# GoogleTest for the target is looked for under CMAKE_FIND_ROOT_PATH only, never in the host's
# /usr. Programs that the tests start are found on the host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GREETING_CROSS_TRIPLE GREETING_CROSS_QEMU)
set(CMAKE_CXX_COMPILER ${GREETING_CROSS_TRIPLE}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${GREETING_CROSS_QEMU}-static)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
