# What an install adds beyond the programs and libraries: the files other
# builds find the libraries by (pkg-config, CMake package), the manual
# pages and the shell completion. Components: "camera" (daemon and its
# configuration), "libs" (shared libraries), "devel" (headers, archives,
# discovery files), "tools" (host programs).
include(CMakePackageConfigHelpers)

set(QD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qdboot)
set(QD_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The .pc files name their prefix relative to themselves, so a tree
# installed or unpacked anywhere (a staging root, a sysroot) stays usable.
file(RELATIVE_PATH QD_PC_TO_PREFIX /root/${QD_PKGCONFIG_DIR} /root)
string(REGEX REPLACE "/$" "" QD_PC_TO_PREFIX "${QD_PC_TO_PREFIX}")

# qd_install_pkgconfig(<lib> <description> <requires.private> <libs.private>)
# The private fields are what a static link of the archive needs.
function(qd_install_pkgconfig lib description requires_private libs_private)
    set(QD_PC_NAME ${lib})
    set(QD_PC_LIB ${lib})
    set(QD_PC_DESCRIPTION "${description}")
    set(QD_PC_REQUIRES_PRIVATE "${requires_private}")
    set(QD_PC_LIBS_PRIVATE "${libs_private}")
    configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/library.pc.in
                   ${PROJECT_BINARY_DIR}/pkgconfig/${lib}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${lib}.pc DESTINATION ${QD_PKGCONFIG_DIR}
            COMPONENT devel)
endfunction()

qd_install_pkgconfig(etcfile "INI file reading and writing" "" "")
qd_install_pkgconfig(qdupdate "Upgrade package verification and extraction" "libcrypto" "")
qd_install_pkgconfig(uartcom "Serial line access with a receive thread" "" "-pthread")

install(EXPORT qdbootTargets NAMESPACE qdboot:: DESTINATION ${QD_CMAKE_DIR} COMPONENT devel)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/templates/qdbootConfig.cmake.in
    ${PROJECT_BINARY_DIR}/cmake/qdbootConfig.cmake INSTALL_DESTINATION ${QD_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/qdbootConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/qdbootConfig.cmake
              ${PROJECT_BINARY_DIR}/cmake/qdbootConfigVersion.cmake
        DESTINATION ${QD_CMAKE_DIR} COMPONENT devel)

# Manual pages, compressed as man-db and Debian expect (gzip -n: the same
# bytes on every build).
set(qd_man_pages qdupk.1:tools mcu-sim.1:tools qdboot.8:camera qdboot.cfg.5:doc)
set(qd_man_outputs "")
foreach(entry ${qd_man_pages})
    string(REPLACE ":" ";" entry ${entry})
    list(GET entry 0 page)
    list(GET entry 1 component)
    string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${page})
    set(out ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/man/${page}
                ${PROJECT_BINARY_DIR}/man/${page}
        COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/man/${page}
        DEPENDS ${PROJECT_SOURCE_DIR}/doc/man/${page}
        COMMENT "Compressing manual page ${page}" VERBATIM)
    list(APPEND qd_man_outputs ${out})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${qd_man_outputs})

install(FILES ${PROJECT_SOURCE_DIR}/doc/completion/qdupk.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qdupk
        COMPONENT tools)

include(cmake/QdPackage.cmake)
