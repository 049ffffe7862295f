include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(escape_special_docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/escape-special")
set(escape_special_cmakedir "${CMAKE_INSTALL_LIBDIR}/cmake/escape_special")

install(TARGETS escape_special EXPORT escape_special_targets
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
install(TARGETS escape-special RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES src/escape_special.h DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")

install(EXPORT escape_special_targets
    NAMESPACE escape_special::
    FILE escape_specialTargets.cmake
    DESTINATION "${escape_special_cmakedir}")
configure_package_config_file(cmake/escape_specialConfig.cmake.in
    "${PROJECT_BINARY_DIR}/escape_specialConfig.cmake"
    INSTALL_DESTINATION "${escape_special_cmakedir}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/escape_specialConfigVersion.cmake"
    COMPATIBILITY SameMajorVersion)
install(FILES
    "${PROJECT_BINARY_DIR}/escape_specialConfig.cmake"
    "${PROJECT_BINARY_DIR}/escape_specialConfigVersion.cmake"
    DESTINATION "${escape_special_cmakedir}")

install(CODE "
    set(escape_special_libdir [[${CMAKE_INSTALL_LIBDIR}]])
    set(escape_special_includedir [[${CMAKE_INSTALL_INCLUDEDIR}]])
    set(escape_special_version [[${PROJECT_VERSION}]])
    set(escape_special_pc_in [[${PROJECT_SOURCE_DIR}/cmake/escape_special.pc.in]])
")
install(SCRIPT cmake/install_pkgconfig.cmake)

# Debian wants man pages and changelogs compressed with gzip -9n; man reads
# them the same way on any system, so every install gets the compressed form.
find_program(ESCAPE_SPECIAL_GZIP gzip REQUIRED)
set(compressed)
foreach(source man/escape-special.1 man/escape_special.3 cmake/changelog)
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
install(FILES "${PROJECT_BINARY_DIR}/compressed/escape-special.1.gz"
    DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${PROJECT_BINARY_DIR}/compressed/escape_special.3.gz"
    DESTINATION "${CMAKE_INSTALL_MANDIR}/man3")
install(FILES README.md LICENSE cmake/copyright "${PROJECT_BINARY_DIR}/compressed/changelog.gz"
    DESTINATION "${escape_special_docdir}")
# Only a package under /usr, as the deb preset builds, has use for it.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    install(FILES cmake/lintian-overrides
        DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides"
        RENAME escape-special)
endif()

set(CPACK_PACKAGE_NAME escape-special)
set(CPACK_PACKAGE_VENDOR "The escape-special authors")
set(CPACK_PACKAGE_CONTACT "escape-special maintainers <maintainers@escape-special.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "put a backslash in front of special characters")
set(CPACK_PACKAGE_DESCRIPTION "escape-special writes its one argument to standard output with a
backslash in front of each of [ ] ( ) { } $ + ? | . * @ & and every other
byte unchanged.  The package also holds the C++ library escape_special,
with its header, CMake package and pkg-config file.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY escape-special)
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_ESCAPE_SPECIAL_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/reproducible_deb.cmake")
include(CPack)
