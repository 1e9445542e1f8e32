# One interface target carries the compile flags that the product's targets
# share; each target links it instead of repeating them.
#
# Packages beyond 2 GiB need 64-bit file offsets on 32-bit targets too, and
# every target that shares the package library's internal records must see
# them with the same offset size. Behind the C interfaces and in the daemon
# no exception may travel and no type information is asked for, so those
# targets carry no C++ runtime for either. A host tool that throws sets the
# target property QD_CXX_EXCEPTIONS to ON and keeps both.
add_library(qd_build_flags INTERFACE)
target_compile_definitions(qd_build_flags INTERFACE _FILE_OFFSET_BITS=64)
set(qd_no_exceptions
    "$<AND:$<COMPILE_LANGUAGE:CXX>,$<NOT:$<BOOL:$<TARGET_PROPERTY:QD_CXX_EXCEPTIONS>>>>")
target_compile_options(qd_build_flags INTERFACE
    "$<${qd_no_exceptions}:-fno-exceptions;-fno-rtti>")
unset(qd_no_exceptions)
