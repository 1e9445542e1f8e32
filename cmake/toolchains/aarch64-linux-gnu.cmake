# Cross build for the camera: Debian's aarch64-linux-gnu toolchain; tests
# run under qemu user-mode emulation through CTest.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(QD_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${QD_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${QD_CROSS_PREFIX}-g++)
set(CMAKE_STRIP ${QD_CROSS_PREFIX}-strip CACHE FILEPATH "")

# The cross toolchain's own tree first; then "/" so that target libraries
# installed through Debian's multiarch (libssl-dev:arm64 puts libcrypto in
# /usr/lib/${QD_CROSS_PREFIX}) are found. Only the target's multiarch folders
# hold its libraries, and the cross compiler already searches those.
set(CMAKE_FIND_ROOT_PATH /usr/${QD_CROSS_PREFIX} /)
# Find modules ask pkg-config first; it must describe the target's packages,
# not the build machine's, or the host's libcrypto would be linked.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${QD_CROSS_PREFIX}/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QD_QEMU_AARCH64 qemu-aarch64)
find_program(QD_CROSS_READELF ${QD_CROSS_PREFIX}-readelf)
if(QD_QEMU_AARCH64 AND QD_CROSS_READELF)
    # Through a launcher: see aarch64-run.sh for why qemu does not load the
    # interpreter itself.
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${CMAKE_CURRENT_LIST_DIR}/aarch64-run.sh ${QD_QEMU_AARCH64}
        /usr/${QD_CROSS_PREFIX} ${QD_CROSS_READELF})
endif()
