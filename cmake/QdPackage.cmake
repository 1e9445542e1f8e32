# Debian packages through CPack (scripts/make-debs.sh builds them):
#   qdboot        the camera: daemon, configuration (conffile), init script
#   libqdboot1    the three shared libraries
#   qdboot-dev    headers, archives, pkg-config and CMake files
#   qdboot-tools  host programs: qdupk, mcu-sim
#   qdboot-doc    qdboot.cfg(5), for the camera and for the laptops where
#                 engineers write camera configurations (architecture all)
# A tree packages the components of its architecture: a cross build for
# the camera "camera;libs;devel", a host build "libs;devel;tools;doc".
option(QD_DEB_PACKAGING "Install the Debian documentation files each package needs" OFF)

set(QD_DEB_MAINTAINER "qdboot developers <qdboot-dev@example.com>" CACHE STRING
    "Maintainer field of the Debian packages")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(qd_deb_arch arm64)
    set(qd_default_components "camera;libs;devel")
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(qd_deb_arch amd64)
    set(qd_default_components "libs;devel;tools;doc")
else()
    set(qd_deb_arch ${CMAKE_SYSTEM_PROCESSOR})
    set(qd_default_components "libs;devel;tools;doc")
endif()
set(QD_PACKAGE_COMPONENTS "${qd_default_components}" CACHE STRING
    "Components this tree's packages hold")

set(qd_deb_names camera=qdboot libs=libqdboot1 devel=qdboot-dev tools=qdboot-tools doc=qdboot-doc)

# Every Debian package carries its copyright and changelog in its own
# documentation folder.
if(QD_DEB_PACKAGING)
    string(TIMESTAMP qd_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
    foreach(entry ${qd_deb_names})
        string(REPLACE "=" ";" entry ${entry})
        list(GET entry 0 component)
        list(GET entry 1 package)
        set(QD_DEB_PACKAGE ${package})
        set(QD_DEB_DATE "${qd_deb_date}")
        set(doc ${PROJECT_BINARY_DIR}/deb/${package})
        # A native package (no Debian revision) names it changelog.gz.
        configure_file(${PROJECT_SOURCE_DIR}/cmake/deb/changelog.in ${doc}/changelog @ONLY)
        execute_process(COMMAND gzip -9nf ${doc}/changelog RESULT_VARIABLE gz)
        if(NOT gz EQUAL 0)
            message(FATAL_ERROR "gzip failed on ${doc}/changelog")
        endif()
        install(FILES ${PROJECT_SOURCE_DIR}/cmake/deb/copyright ${doc}/changelog.gz
                DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qdboot)
set(CPACK_PACKAGE_VENDOR "qdboot developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QD_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${QD_PACKAGE_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${qd_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS OFF)
foreach(entry ${qd_deb_names})
    string(REPLACE "=" ";" entry ${entry})
    list(GET entry 0 component)
    list(GET entry 1 package)
    string(TOUPPER ${component} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
endforeach()

# A package's description: its own summary line, then the extended text one
# line per argument (CPack indents them). No project-wide summary is set, as
# CPack would put it above every package's own.
function(qd_deb_description component summary)
    string(TOUPPER ${component} upper)
    list(JOIN ARGN "\n" body)
    set(CPACK_COMPONENT_${upper}_DESCRIPTION "${summary}\n${body}" PARENT_SCOPE)
endfunction()

set(qd_same_version "(= ${PROJECT_VERSION})")
qd_deb_description(camera "camera firmware-upgrade daemon"
    "qdboot runs on the camera: it answers multicast searches, receives one"
    "upgrade package per connection, verifies it whole and installs its items"
    "(flash partitions, files, scripts, MCU firmware), then reboots.")
set(CPACK_DEBIAN_CAMERA_PACKAGE_SECTION admin)
# The daemon has the libraries built in: its dependencies are what it links
# (shlibdeps), and the configuration's manual page is recommended.
set(CPACK_DEBIAN_CAMERA_PACKAGE_RECOMMENDS "qdboot-doc")
set(CPACK_DEBIAN_CAMERA_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/cmake/deb/camera/conffiles
    ${PROJECT_SOURCE_DIR}/cmake/deb/camera/postinst
    ${PROJECT_SOURCE_DIR}/cmake/deb/camera/prerm
    ${PROJECT_SOURCE_DIR}/cmake/deb/camera/postrm)
set(CPACK_DEBIAN_CAMERA_PACKAGE_CONTROL_STRICT_PERMISSION ON)

qd_deb_description(libs "camera upgrade libraries (INI files, packages, serial line)"
    "Shared libraries with C interfaces: libetcfile reads and writes INI files,"
    "libqdupdate verifies and extracts upgrade packages, libuartcom drives a"
    "serial line with a receive thread.")
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION libs)
# Only this package holds shared libraries; its shlibs file lets programs
# built against them depend on it. ldconfig runs through dpkg's trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/deb/libs/triggers)

qd_deb_description(devel "camera upgrade libraries: development files"
    "Headers (include/qdboot), static libraries, pkg-config files (etcfile,"
    "qdupdate, uartcom) and the CMake package qdboot with imported targets.")
set(CPACK_DEBIAN_DEVEL_PACKAGE_SECTION libdevel)
# The .so links point into libqdboot1; the static libraries link libcrypto.
set(CPACK_DEBIAN_DEVEL_PACKAGE_DEPENDS "libqdboot1 ${qd_same_version}, libssl-dev")

qd_deb_description(tools "host tools for camera firmware upgrades"
    "qdupk packs, signs, inspects and verifies upgrade packages, finds cameras"
    "on the LAN and uploads packages to them, from the command line or from a"
    "web console in the browser (qdupk console); mcu-sim simulates the dome"
    "MCU's firmware loader on a pseudo-terminal.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "qdboot-doc")

qd_deb_description(doc "camera firmware-upgrade daemon: configuration manual"
    "The manual page qdboot.cfg(5): every section and key of the camera"
    "daemon's configuration, for the camera and for the machines where"
    "camera configurations are written.")
set(CPACK_DEBIAN_DOC_PACKAGE_SECTION doc)
set(CPACK_DEBIAN_DOC_PACKAGE_ARCHITECTURE all)

include(CPack)
