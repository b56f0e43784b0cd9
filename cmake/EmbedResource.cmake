# embed_resource(<target> <symbol> <file>)
# Compiles the bytes of <file> into <target> as
#   extern const unsigned char <symbol>[]; extern const std::size_t <symbol>_size;
# The file may itself be produced by a custom command (boot code, generated headers).
function(embed_resource target symbol file)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/embedded_${symbol}.cpp)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DIN=${file} -DOUT=${out} -DSYMBOL=${symbol}
            -P ${PROJECT_SOURCE_DIR}/cmake/EmbedResourceScript.cmake
    DEPENDS ${file} ${PROJECT_SOURCE_DIR}/cmake/EmbedResourceScript.cmake
    COMMENT "Embedding ${symbol}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()
