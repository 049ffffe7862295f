# Man pages and the changelog compressed with gzip -9n, as Debian wants them;
# man reads them the same way on any system, so every install gets the
# compressed form.
find_program(ESCAPE_SPECIAL_GZIP gzip REQUIRED)
set(compressed)
foreach(source man/escape-special.1 man/escape_special.3 debian/changelog)
    get_filename_component(name "${source}" NAME)
    set(output "${PROJECT_BINARY_DIR}/compressed/${name}.gz")
    add_custom_command(OUTPUT "${output}"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${PROJECT_BINARY_DIR}/compressed"
        COMMAND "${ESCAPE_SPECIAL_GZIP}" -9n -c "${PROJECT_SOURCE_DIR}/${source}" > "${output}"
        DEPENDS "${source}"
        VERBATIM)
    list(APPEND compressed "${output}")
endforeach()
add_custom_target(escape_special_compressed ALL DEPENDS ${compressed})
