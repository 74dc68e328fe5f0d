# Warnings, sanitizers, ccache and the syntax-only mode shared by every target.

find_program(LD_CCACHE ccache)
if(LD_CCACHE AND NOT LD_SYNTAX_ONLY)
    set(CMAKE_C_COMPILER_LAUNCHER ${LD_CCACHE})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${LD_CCACHE})
endif()

add_library(ld_warnings INTERFACE)
target_compile_options(ld_warnings INTERFACE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wnon-virtual-dtor
        -Wold-style-cast -Woverloaded-virtual -Wimplicit-fallthrough
        -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # g++ 12 reports false overlaps in std::string concatenation at -O2 (GCC bug 105651).
    target_compile_options(ld_warnings INTERFACE -Wno-restrict)
endif()
if(LD_WARNINGS_AS_ERRORS)
    target_compile_options(ld_warnings INTERFACE -Werror)
endif()

if(LD_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

if(LD_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "LD_FUZZ needs clang (configure with CC=clang CXX=clang++)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
endif()

# Syntax-only mode: every compile runs with -fsyntax-only and every archive and link step only touches its
# output, so one pass checks that the whole tree compiles with this compiler.
if(LD_SYNTAX_ONLY)
    set(CMAKE_CXX_COMPILE_OBJECT
            "<CMAKE_CXX_COMPILER> <DEFINES> <INCLUDES> <FLAGS> -fsyntax-only <SOURCE> && touch <OBJECT>")
    set(CMAKE_CXX_CREATE_STATIC_LIBRARY "touch <TARGET>")
    set(CMAKE_CXX_LINK_EXECUTABLE "touch <TARGET>")
    set(CMAKE_CXX_ARCHIVE_CREATE "touch <TARGET>")
    set(CMAKE_CXX_ARCHIVE_APPEND "touch <TARGET>")
    set(CMAKE_CXX_ARCHIVE_FINISH "touch <TARGET>")
endif()
