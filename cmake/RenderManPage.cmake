# Renders a manual page to plain text for a system without man:
#   cmake -DGROFF=groff -DPAGE=docs/brelwick.1 -DOUT=brelwick.txt -P cmake/RenderManPage.cmake
# -P-cbou: no escape sequences, no overstriking, so that any text editor shows it as it is.
execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou -ww ${PAGE}
  OUTPUT_FILE ${OUT}
  ERROR_VARIABLE warnings
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR warnings)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "groff could not render ${PAGE} cleanly: ${result}\n${warnings}")
endif()
