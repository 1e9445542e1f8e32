# qd_add_product_library(<name> SOURCES <src...> [INCLUDE_DIRS <dirs...>]
#                        [INTERNAL <targets...>] [LINK <targets...>]
#                        [PUBLIC_HEADERS <files...>])
#
# Builds lib<name>.a and lib<name>.so from one set of objects compiled with
# hidden visibility, so the shared library exports only what the public
# header marks with its API macro. Targets: <name>_static, <name>_shared;
# the alias qd::<name> names the static one (what the daemon links).
#
# INCLUDE_DIRS are the library's own source folders: private, so a user
# that includes one of its private headers fails to compile instead of
# depending on it by habit (tests that need one name the folder
# themselves). Users see CommInc through qd_common and nothing else.
# INTERNAL names interface targets of headers the library shares with
# chosen users in this source tree (the host tool); they exist only in the
# build tree, so nothing installed refers to them.
# Installed: the shared library with its SONAME link (component "libs"),
# the archive, the development link and PUBLIC_HEADERS in include/qdboot
# (component "devel"), both libraries in the export set qdbootTargets as
# qdboot::<name> (shared) and qdboot::<name>_static.
# Every public header takes its export macros from this one, so it goes
# wherever they go.
install(FILES ${PROJECT_SOURCE_DIR}/CommInc/lib_include/qd_export.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qdboot COMPONENT devel)

function(qd_add_product_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;INCLUDE_DIRS;INTERNAL;LINK;PUBLIC_HEADERS" ${ARGN})

    add_library(${name}_objects OBJECT ${ARG_SOURCES})
    set_target_properties(${name}_objects PROPERTIES
        POSITION_INDEPENDENT_CODE ON
        C_VISIBILITY_PRESET hidden
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    target_include_directories(${name}_objects PRIVATE ${ARG_INCLUDE_DIRS})
    list(TRANSFORM ARG_INTERNAL PREPEND "$<BUILD_INTERFACE:")
    list(TRANSFORM ARG_INTERNAL APPEND ">")
    # qd_build_flags leaves no C++ runtime behind the C interface: a plain
    # C program links the static library with the C compiler alone.
    target_link_libraries(${name}_objects PUBLIC qd_common ${ARG_LINK}
                                          PRIVATE ${ARG_INTERNAL} qd_warnings
                                                  qd_build_flags)

    add_library(${name}_static STATIC $<TARGET_OBJECTS:${name}_objects>)
    add_library(${name}_shared SHARED $<TARGET_OBJECTS:${name}_objects>)
    # The tree's common headers reach only users inside this build; an
    # installed user finds the public headers in their own folder.
    foreach(kind static shared)
        set_target_properties(${name}_${kind} PROPERTIES OUTPUT_NAME ${name})
        target_link_libraries(${name}_${kind} PUBLIC $<BUILD_INTERFACE:qd_common>)
        target_include_directories(${name}_${kind} INTERFACE
            $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/qdboot>)
    endforeach()
    # An archive's users link what it needs; a shared library brings its own.
    target_link_libraries(${name}_static PUBLIC ${ARG_LINK})
    target_link_libraries(${name}_shared PRIVATE ${ARG_LINK})
    set_target_properties(${name}_static PROPERTIES EXPORT_NAME ${name}_static)
    set_target_properties(${name}_shared PROPERTIES EXPORT_NAME ${name})
    set_target_properties(${name}_shared PROPERTIES
        VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
    # A shared library must not leave undefined references for its C users
    # (sanitizer runtimes resolve theirs from the executable).
    if(NOT QD_SANITIZE)
        target_link_options(${name}_shared PRIVATE -Wl,--no-undefined)
    endif()
    # An archive linked in (libcrypto in the fully static camera build) stays
    # private: the shared library still exports only its own interface.
    target_link_options(${name}_shared PRIVATE -Wl,--exclude-libs,ALL)
    add_library(qd::${name} ALIAS ${name}_static)

    install(TARGETS ${name}_shared EXPORT qdbootTargets
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libs
                    NAMELINK_COMPONENT devel)
    install(TARGETS ${name}_static EXPORT qdbootTargets
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT devel)
    if(ARG_PUBLIC_HEADERS)
        install(FILES ${ARG_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qdboot
                COMPONENT devel)
    endif()
endfunction()
