# Writes the commit the source tree is at (with "-modified" when it has
# uncommitted changes) into OUT as NQ_TOOL_COMMIT, touching OUT only when it
# changes. Run at every build: cmake -DSOURCE=DIR -DOUT=FILE -P commit.cmake
execute_process(COMMAND git -C "${SOURCE}" rev-parse --short=12 HEAD
                OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
if(failed OR commit STREQUAL "")
  set(commit "unknown")
else()
  execute_process(COMMAND git -C "${SOURCE}" diff-index --quiet HEAD -- RESULT_VARIABLE modified ERROR_QUIET)
  if(modified)
    set(commit "${commit}-modified")
  endif()
endif()
file(WRITE "${OUT}.new" "#define NQ_TOOL_COMMIT \"${commit}\"\n")
configure_file("${OUT}.new" "${OUT}" COPYONLY)
file(REMOVE "${OUT}.new")
