# Objective-C++ for the macOS sources on a system without Apple's frameworks:
# clang++ with blocks, against GNUstep base on GCC's Objective-C runtime (the
# runtime Debian builds GNUstep base against), under manual reference
# counting so that the same files build with Apple's compiler. The Linux
# program itself needs none of this; without these tools the macOS sources
# are simply not built.
find_program(RAVLET_OBJCXX_COMPILER NAMES clang++ clang++-14)
find_program(RAVLET_GNUSTEP_CONFIG gnustep-config)
find_path(RAVLET_BLOCK_INCLUDE_DIR Block.h)
find_library(RAVLET_BLOCKS_RUNTIME BlocksRuntime)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE RAVLET_GCC_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)

set(RAVLET_HAVE_MACOS_STANDIN OFF)
if(NOT RAVLET_OBJCXX_COMPILER OR NOT RAVLET_GNUSTEP_CONFIG OR NOT RAVLET_BLOCK_INCLUDE_DIR
   OR NOT RAVLET_BLOCKS_RUNTIME OR NOT EXISTS "${RAVLET_GCC_INCLUDE_DIR}/objc/objc.h")
    message(STATUS "macOS sources not built: they need clang, libgnustep-base-dev and libblocksruntime-dev")
    return()
endif()

set(CMAKE_OBJCXX_COMPILER "${RAVLET_OBJCXX_COMPILER}")
enable_language(OBJCXX)
set(RAVLET_HAVE_MACOS_STANDIN ON)

execute_process(COMMAND ${RAVLET_GNUSTEP_CONFIG} --objc-flags OUTPUT_VARIABLE gnustep_flags
                OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(gnustep_flags UNIX_COMMAND "${gnustep_flags}")
# Only the definitions, runtime switches and header folders: its -g, -O2,
# -MMD and -I. would fight the build's own.
set(objc_flags -fblocks -fobjc-runtime=gcc -fno-objc-arc -Wno-deprecated-objc-isa-usage)
set(objc_headers "")
foreach(flag IN LISTS gnustep_flags)
    if(flag MATCHES "^-D" OR flag MATCHES "^-f(objc|exceptions|constant-string)")
        list(APPEND objc_flags "${flag}")
    elseif(flag MATCHES "^-I/")
        string(SUBSTRING "${flag}" 2 -1 dir)
        if(IS_DIRECTORY "${dir}")
            list(APPEND objc_headers "${dir}")
        endif()
    endif()
endforeach()

execute_process(COMMAND ${RAVLET_GNUSTEP_CONFIG} --base-libs OUTPUT_VARIABLE gnustep_libs
                OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(gnustep_libs UNIX_COMMAND "${gnustep_libs}")

# What every target holding Objective-C++ links: the compiler switches (for
# .mm files only), Foundation, the runtime and the blocks runtime.
add_library(ravlet_objc_runtime INTERFACE)
target_compile_options(ravlet_objc_runtime INTERFACE
    "$<$<COMPILE_LANGUAGE:OBJCXX>:${objc_flags};-idirafter;${RAVLET_GCC_INCLUDE_DIR}>")
target_include_directories(ravlet_objc_runtime SYSTEM INTERFACE
    "$<$<COMPILE_LANGUAGE:OBJCXX>:${objc_headers};${CMAKE_SOURCE_DIR}/tests/macos_standin/shim>")
# Libraries after the objects that need them; -rdynamic and the like as options.
set(link_libraries "")
set(link_options "")
foreach(flag IN LISTS gnustep_libs)
    if(flag MATCHES "^-[lL]")
        list(APPEND link_libraries "${flag}")
    else()
        list(APPEND link_options "${flag}")
    endif()
endforeach()
target_link_options(ravlet_objc_runtime INTERFACE ${link_options})
# The blocks runtime first: GNUstep base carries a _Block_copy of its own
# that does not copy stack blocks.
target_link_libraries(ravlet_objc_runtime INTERFACE ${RAVLET_BLOCKS_RUNTIME} ${link_libraries})
