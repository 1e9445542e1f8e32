# One interface target carries the project's warning set; every product,
# tool and test target links it. Turning warnings into errors is left to
# CMAKE_COMPILE_WARNING_AS_ERROR (on in every preset and in CI), so that a
# newer compiler's new warning can be waved through with
# "cmake --compile-no-warning-as-error" instead of an edit of this file.
add_library(qd_warnings INTERFACE)
target_compile_options(qd_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wundef -Wcast-align
    -Wnull-dereference -Wdouble-promotion -Wconversion -Wsign-conversion
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Woverloaded-virtual>)

# Log lines carry the source path; keep it relative to the project root so
# messages do not depend on where the tree was checked out.
add_compile_options(-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=)

# Internal helpers shared by every room (logging, bounded text, owners,
# byte order). Header-only, so each library carries its own hidden copy.
add_library(qd_common INTERFACE)
target_include_directories(qd_common INTERFACE
    ${PROJECT_SOURCE_DIR}/CommInc/comm
    ${PROJECT_SOURCE_DIR}/CommInc/lib_include)
