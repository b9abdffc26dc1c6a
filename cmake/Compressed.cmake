# tyq_gzip(TARGET SOURCE OUTPUT): OUTPUT is SOURCE compressed as Debian wants
# its manual pages and change logs: best compression, no name or time stamp
# inside, so the same source always gives the same bytes.
find_program(TYQ_GZIP gzip REQUIRED)
function(tyq_gzip target source output)
  get_filename_component(folder "${output}" DIRECTORY)
  add_custom_command(OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${folder}"
    COMMAND sh -c "\"$1\" -9n -c \"$2\" > \"$3\"" sh "${TYQ_GZIP}"
            "${CMAKE_CURRENT_SOURCE_DIR}/${source}" "${output}"
    DEPENDS "${source}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${output}")
endfunction()
