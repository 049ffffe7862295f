include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The Debian package of each install component.
set(escape_special_runtime_package libescape-special${PROJECT_VERSION_MAJOR})
set(escape_special_dev_package libescape-special-dev)
set(escape_special_tool_package escape-special)

set(escape_special_docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/${escape_special_tool_package}")
set(escape_special_cmakedir "${CMAKE_INSTALL_LIBDIR}/cmake/escape_special")

# Three components, one Debian package each: the shared library for run
# time, what building against it needs, and the tool.
install(TARGETS escape_special EXPORT escape_special_targets
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT dev
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime NAMELINK_COMPONENT dev)
if(BUILD_SHARED_LIBS)
    install(TARGETS escape_special_static ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT dev)
endif()
install(TARGETS escape-special RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tool)
install(FILES src/escape_special.h DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT dev)

install(EXPORT escape_special_targets
    NAMESPACE escape_special::
    FILE escape_specialTargets.cmake
    DESTINATION "${escape_special_cmakedir}"
    COMPONENT dev)
configure_package_config_file(cmake/escape_specialConfig.cmake.in
    "${PROJECT_BINARY_DIR}/escape_specialConfig.cmake"
    INSTALL_DESTINATION "${escape_special_cmakedir}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/escape_specialConfigVersion.cmake"
    COMPATIBILITY SameMajorVersion)
install(FILES
    "${PROJECT_BINARY_DIR}/escape_specialConfig.cmake"
    "${PROJECT_BINARY_DIR}/escape_specialConfigVersion.cmake"
    DESTINATION "${escape_special_cmakedir}"
    COMPONENT dev)

install(CODE "
    set(escape_special_libdir [[${CMAKE_INSTALL_LIBDIR}]])
    set(escape_special_includedir [[${CMAKE_INSTALL_INCLUDEDIR}]])
    set(escape_special_version [[${PROJECT_VERSION}]])
    set(escape_special_pc_in [[${PROJECT_SOURCE_DIR}/cmake/escape_special.pc.in]])
" COMPONENT dev)
install(SCRIPT cmake/install_pkgconfig.cmake COMPONENT dev)

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
    DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT tool)
install(FILES "${PROJECT_BINARY_DIR}/compressed/escape_special.3.gz"
    DESTINATION "${CMAKE_INSTALL_MANDIR}/man3" COMPONENT dev)
install(FILES README.md LICENSE cmake/copyright "${PROJECT_BINARY_DIR}/compressed/changelog.gz"
    DESTINATION "${escape_special_docdir}" COMPONENT tool)

# Only packages under /usr, as the deb preset builds, have use for these:
# the library packages' own copyright and changelog, and the lintian
# overrides.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    foreach(component IN ITEMS runtime dev)
        install(FILES cmake/copyright "${PROJECT_BINARY_DIR}/compressed/changelog.gz"
            DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${escape_special_${component}_package}"
            COMPONENT ${component})
    endforeach()
    install(FILES cmake/lintian-overrides
        DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides"
        RENAME escape-special COMPONENT tool)
endif()

set(CPACK_PACKAGE_NAME escape-special)
set(CPACK_PACKAGE_VENDOR "The escape-special authors")
set(CPACK_PACKAGE_CONTACT "escape-special maintainers <maintainers@escape-special.invalid>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY escape-special)
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tool)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${escape_special_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "put a backslash in front of special characters - library
escape_special is a C++ function that returns a copy of a string with a
backslash in front of each of [ ] ( ) { } $ + ? | . * @ & and every other
byte unchanged.  This package holds the shared library.")
# The library's dependencies, on libc6 and libstdc++6, from dpkg-shlibdeps;
# and a shlibs file that gives programs linked against it a dependency on
# this version or later.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/cmake/triggers")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${escape_special_dev_package})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${escape_special_runtime_package} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "put a backslash in front of special characters - development files
escape_special is a C++ function that returns a copy of a string with a
backslash in front of each of [ ] ( ) { } $ + ? | . * @ & and every other
byte unchanged.  This package holds its header, the static library, the
CMake package, the pkg-config file and the manual page.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME ${escape_special_tool_package})
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "put a backslash in front of special characters
escape-special writes its one argument to standard output with a
backslash in front of each of [ ] ( ) { } $ + ? | . * @ & and every other
byte unchanged.")

set(CPACK_ESCAPE_SPECIAL_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/reproducible_deb.cmake")
include(CPack)
