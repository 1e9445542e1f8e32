# Options of the camera build, and what the camera gets from an install.
#
#   QD_STATIC_DAEMON     qdboot linked with -static (applied in daemon/)
#   QD_GC_SECTIONS       every function and object in a section of its own,
#                        so the linker drops what nothing references
#   QD_TARGET_PAGE_SIZE  largest page size of the target's kernel in bytes;
#                        empty keeps the toolchain's (64 KiB on AArch64,
#                        which loads everywhere but pads each binary)
option(QD_STATIC_DAEMON "Link the daemon fully static" OFF)
option(QD_GC_SECTIONS "Drop unreferenced functions and data at link time" OFF)
set(QD_TARGET_PAGE_SIZE "" CACHE STRING
    "Largest page size of the target kernel in bytes (empty: toolchain default)")

if(QD_GC_SECTIONS)
    add_compile_options(-ffunction-sections -fdata-sections)
    add_link_options(LINKER:--gc-sections)
endif()
if(QD_TARGET_PAGE_SIZE)
    if(NOT QD_TARGET_PAGE_SIZE MATCHES "^[1-9][0-9]*$")
        message(FATAL_ERROR "QD_TARGET_PAGE_SIZE must be a number of bytes")
    endif()
    add_link_options(LINKER:-z,max-page-size=${QD_TARGET_PAGE_SIZE})
endif()

# The example configuration and init script; paths inside the script assume
# the install prefix is the camera's root file system.
# A package build sets CMAKE_INSTALL_SYSCONFDIR=/etc under the prefix /usr.
install(FILES ${PROJECT_SOURCE_DIR}/etc/qdboot.cfg DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}
        COMPONENT camera)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/etc/init.d/qdboot
        DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/init.d COMPONENT camera)
# The boot loader's side of the boot journal, as source: the board's build
# compiles it with mkimage -T script.
install(FILES ${PROJECT_SOURCE_DIR}/doc/qdboot-boot.cmd DESTINATION ${CMAKE_INSTALL_DATADIR}/qdboot
        COMPONENT camera)
