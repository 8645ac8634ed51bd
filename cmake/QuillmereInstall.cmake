# Install layout. The programs that find a partner beside themselves keep the build tree's
# arrangement in one private directory, <prefix>/lib/quillmere:
#
#   lib/quillmere/QuillmereMCPSetup      the window
#   lib/quillmere/quillmere-setup        the window's command-line twin
#   lib/quillmere/bin/quillmere-mcp      the server both of them register
#
# <prefix>/bin holds relative links to them (the window as quillmere-mcp-setup) and
# quillmere-publish itself, which needs no partner. Both setup programs locate themselves
# through /proc/self/exe, which resolves the links, so what they write into a client's
# configuration is <prefix>/lib/quillmere/bin/quillmere-mcp and never a link in bin/.
include(GNUInstallDirs)

# Not CMAKE_INSTALL_LIBDIR: a private program directory has no multiarch component.
set(QUILLMERE_INSTALL_PRIVATEDIR "lib/quillmere")

install(TARGETS QuillmereMCPSetup quillmere-setup
    RUNTIME DESTINATION "${QUILLMERE_INSTALL_PRIVATEDIR}")
install(TARGETS quillmere-mcp RUNTIME DESTINATION "${QUILLMERE_INSTALL_PRIVATEDIR}/bin")
install(TARGETS quillmere-publish RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")

# Links on PATH: <link name> <target relative to <prefix>/bin>.
set(_quillmere_path_links
    quillmere-mcp "../${QUILLMERE_INSTALL_PRIVATEDIR}/bin/quillmere-mcp"
    quillmere-setup "../${QUILLMERE_INSTALL_PRIVATEDIR}/quillmere-setup"
    quillmere-mcp-setup "../${QUILLMERE_INSTALL_PRIVATEDIR}/QuillmereMCPSetup")
set(_quillmere_link_dir "${CMAKE_BINARY_DIR}/install-links")
file(MAKE_DIRECTORY "${_quillmere_link_dir}")
while(_quillmere_path_links)
    list(POP_FRONT _quillmere_path_links _name _target)
    file(CREATE_LINK "${_target}" "${_quillmere_link_dir}/${_name}" SYMBOLIC)
    install(FILES "${_quillmere_link_dir}/${_name}" DESTINATION "${CMAKE_INSTALL_BINDIR}")
endwhile()

# Desktop entry and icon. The entry's Exec line names the installed window, so it is
# written at install time, when the prefix (also one given with cmake --install --prefix,
# or the package's /usr) is known; DESTDIR stays out of it.
install(CODE "
    set(QUILLMERE_SETUP_EXEC \"\${CMAKE_INSTALL_PREFIX}/${QUILLMERE_INSTALL_PRIVATEDIR}/QuillmereMCPSetup\")
    configure_file(\"${PROJECT_SOURCE_DIR}/setup_app/quillmere-mcp-setup.desktop.in\"
        \"${CMAKE_BINARY_DIR}/quillmere-mcp-setup.desktop\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications\"
        TYPE FILE FILES \"${CMAKE_BINARY_DIR}/quillmere-mcp-setup.desktop\")
")
install(FILES "${PROJECT_SOURCE_DIR}/setup_app/quillmere-mcp-setup.svg"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")

# Manual pages, compressed as Debian expects (man reads them either way).
set(_quillmere_man_pages
    quillmere-mcp.1 quillmere-publish.1 quillmere-setup.1 quillmere-mcp-setup.1)
set(_quillmere_man_outputs)
foreach(_page IN LISTS _quillmere_man_pages)
    set(_source "${PROJECT_SOURCE_DIR}/man/${_page}")
    set(_output "${CMAKE_BINARY_DIR}/man/${_page}.gz")
    add_custom_command(OUTPUT "${_output}"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/man"
        COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh "${_source}" "${_output}"
        DEPENDS "${_source}"
        VERBATIM)
    list(APPEND _quillmere_man_outputs "${_output}")
endforeach()
add_custom_target(quillmere_man_pages ALL DEPENDS ${_quillmere_man_outputs})
install(FILES ${_quillmere_man_outputs} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

# Debian's copyright and changelog, required of every package's documentation directory.
set(_quillmere_changelog "${CMAKE_BINARY_DIR}/packaging/changelog.gz")
add_custom_command(OUTPUT "${_quillmere_changelog}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/packaging"
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh
        "${PROJECT_SOURCE_DIR}/cmake/packaging/changelog" "${_quillmere_changelog}"
    DEPENDS "${PROJECT_SOURCE_DIR}/cmake/packaging/changelog"
    VERBATIM)
add_custom_target(quillmere_package_docs ALL DEPENDS "${_quillmere_changelog}")
install(FILES "${PROJECT_SOURCE_DIR}/cmake/packaging/copyright" "${_quillmere_changelog}"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/quillmere")
include(cmake/QuillmerePackage.cmake)
