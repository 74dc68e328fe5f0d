# Compiles data files into ldcore as byte arrays. ld_embed_resource(<symbol> <file>) makes the array
# ld::detail::<symbol> and the size ld::detail::<symbol>Size (without the closing 0 that every array
# gets), regenerated at build time when the file changes. Run as a script
# (cmake -DLD_EMBED_INPUT=<file> -DLD_EMBED_OUTPUT=<cpp> -DLD_EMBED_SYMBOL=<name> -P <this file>) it
# converts one file.

if(CMAKE_SCRIPT_MODE_FILE)
    file(READ "${LD_EMBED_INPUT}" ld_hex HEX)
    set(ld_line_pattern "")
    foreach(ld_index RANGE 15)
        string(APPEND ld_line_pattern "0x[0-9a-f][0-9a-f],")
    endforeach()
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," ld_bytes "${ld_hex}")
    string(REGEX REPLACE "(${ld_line_pattern})" "\\1\n        " ld_bytes "${ld_bytes}")
    file(WRITE "${LD_EMBED_OUTPUT}"
"// Generated from ${LD_EMBED_INPUT} by cmake/LdEmbeddedResources.cmake; do not edit.
// NOLINTBEGIN
#include <cstddef>

namespace ld::detail {
extern const unsigned char ${LD_EMBED_SYMBOL}[];
extern const std::size_t ${LD_EMBED_SYMBOL}Size;

const unsigned char ${LD_EMBED_SYMBOL}[] = {
        ${ld_bytes}0x00};
const std::size_t ${LD_EMBED_SYMBOL}Size = sizeof(${LD_EMBED_SYMBOL}) - 1;
}  // namespace ld::detail
// NOLINTEND
")
    return()
endif()

include_guard(GLOBAL)
set(LD_EMBED_SCRIPT "${CMAKE_CURRENT_LIST_FILE}")

function(ld_embed_resource symbol file)
    if(NOT EXISTS "${file}")
        message(FATAL_ERROR "Resource file missing: ${file} (tools/deps.sh installs what the build needs)")
    endif()
    set(output "${CMAKE_CURRENT_BINARY_DIR}/embedded/${symbol}.cpp")
    add_custom_command(
            OUTPUT "${output}"
            COMMAND "${CMAKE_COMMAND}" "-DLD_EMBED_INPUT=${file}" "-DLD_EMBED_OUTPUT=${output}"
                    "-DLD_EMBED_SYMBOL=${symbol}" -P "${LD_EMBED_SCRIPT}"
            DEPENDS "${file}" "${LD_EMBED_SCRIPT}"
            COMMENT "Embedding ${file}"
            VERBATIM)
    # The generated source belongs to a target of this folder, so that ldcore, made in the top
    # folder, can build it.
    add_custom_target(ld_embed_${symbol} DEPENDS "${output}")
    add_dependencies(ldcore ld_embed_${symbol})
    target_sources(ldcore PRIVATE "${output}")
endfunction()
