# The Debian package, built by cpack from an already built tree (scripts/package):
# one package, quillmere, with the server, both command-line tools and the window,
# laid out by cmake/QuillmereInstall.cmake under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmere)
set(CPACK_PACKAGE_VENDOR "The Quillmere developers")
set(CPACK_PACKAGE_CONTACT "Quillmere developers <packaging@quillmere.example>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# The install rules write the desktop entry with the final prefix; DESTDIR keeps the
# staging directory out of it.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# Library dependencies come from the binaries through dpkg-shlibdeps, not from a list.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Qt's own dialogs in the window's language; the programs run without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "read-only MCP server for a shared library of voice recordings")
# CPack puts the summary first and indents the rest; an empty line separates paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "quillmere-mcp lets AI clients list, search and read the recordings that a
phone application publishes into a synced folder named AgentLibrary, and
hands out verified local copies of their audio tracks. It speaks the Model
Context Protocol over standard input and output, never changes the folder,
and checks every file it reads against the digests the folder names.

quillmere-setup and the quillmere-mcp-setup window register the server with
an AI client (Codex, Claude Desktop or Cursor), backing up the file they
change. quillmere-publish fills a shared folder from hand-written
descriptions of recordings.")

include(CPack)
