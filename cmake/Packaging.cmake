# What an installation holds beyond the programs and the desktop entry, and
# the two Debian packages made from it (`make deb`, or cpack in any build
# directory):
#   dravelin         the tray app and dravelin-cli, desktop and autostart
#                    entries, icons                       (component "app")
#   dravelin-server  the local backend, the speech model, dravelin-model and
#                    dravelin-llm, a systemd user unit    (component "server")

# Paths that depend on where the files finally land are worked out when
# installing: cpack installs with CMAKE_INSTALL_PREFIX=/usr under DESTDIR,
# `cmake --install --prefix P` with P.

# The autostart entry goes to /etc/xdg/autostart for a /usr installation (the
# first of XDG_CONFIG_DIRS), to PREFIX/etc/xdg/autostart otherwise.
install(CODE "set(_dravelin_autostart \"${PROJECT_SOURCE_DIR}/data/dravelin-autostart.desktop\")" COMPONENT app)
install(CODE [[
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
        set(_etc "/etc")
    else()
        set(_etc "${CMAKE_INSTALL_PREFIX}/etc")
    endif()
    file(INSTALL "${_dravelin_autostart}" DESTINATION "${_etc}/xdg/autostart" RENAME dravelin.desktop)
]] COMPONENT app)

# The systemd user unit runs the installed server by its full path; the
# language model worker is named too, since the server's built-in path to it
# is the build tree's.
if(TARGET dravelin-llm)
    set(_llm_environment "Environment=DRAVELIN_LLM_WORKER=@bindir@/dravelin-llm")
else()
    set(_llm_environment "")
endif()
install(CODE "
    set(_unit_in \"${PROJECT_SOURCE_DIR}/data/dravelin-server.service.in\")
    set(_unit_dir \"${CMAKE_CURRENT_BINARY_DIR}/systemd\")
    set(llm_environment \"${_llm_environment}\")
    set(_bindir \"${CMAKE_INSTALL_BINDIR}\")" COMPONENT server)
install(CODE [[
    if(IS_ABSOLUTE "${_bindir}")
        set(bindir "${_bindir}")
    else()
        set(bindir "${CMAKE_INSTALL_PREFIX}/${_bindir}")
    endif()
    string(CONFIGURE "${llm_environment}" llm_environment @ONLY)
    # One file per destination, so that installs running side by side (the
    # tests) do not overwrite each other's.
    string(MD5 _where "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    set(_unit "${_unit_dir}/${_where}/dravelin-server.service")
    configure_file("${_unit_in}" "${_unit}" @ONLY)
    file(INSTALL "${_unit}" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user")
]] COMPONENT server)

# Man pages: help2man turns each program's --help and --version into one;
# dravelin-model, which has no --help, has a written page. The programs run by
# name from their own directory, so no build path ends up in a page; the app
# on the offscreen platform, so no display is needed; and in a UTF-8 locale,
# which is what Qt writes.
find_program(HELP2MAN help2man)
set(_man_dir "${CMAKE_CURRENT_BINARY_DIR}/man")
set(_man_pages "")
function(_dravelin_man_page target component name)
    set(page "${_man_dir}/${target}.1")
    set(include "${PROJECT_SOURCE_DIR}/data/man/${target}.h2m")
    set(include_args "")
    set(include_file "")
    if(EXISTS "${include}")
        set(include_args --include "${include}")
        set(include_file "${include}")
    endif()
    add_custom_command(OUTPUT "${page}.gz"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${_man_dir}"
        COMMAND "${CMAKE_COMMAND}" -E env "PATH=$<TARGET_FILE_DIR:${target}>:/usr/bin:/bin" QT_QPA_PLATFORM=offscreen
                "${HELP2MAN}" --no-info --section=1 --locale=C.UTF-8 "--name=${name}" ${include_args}
                "--output=${page}" ${target}
        COMMAND gzip -9nf "${page}"
        DEPENDS ${target} ${include_file}
        COMMENT "Writing the man page for ${target}"
        VERBATIM)
    install(FILES "${page}.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
    set(_man_pages ${_man_pages} "${page}.gz" PARENT_SCOPE)
endfunction()
if(HELP2MAN)
    _dravelin_man_page(dravelin app "dictation into any application")
    _dravelin_man_page(dravelin-cli app "sign in, transcribe and dictate from the command line")
    _dravelin_man_page(dravelin-server server "Dravelin's local backend: sign-in, transcription and cleanup")
else()
    message(STATUS "help2man not found (scripts/setup installs it): man pages only for dravelin-model")
endif()
add_custom_command(OUTPUT "${_man_dir}/dravelin-model.1.gz"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${_man_dir}"
    COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_SOURCE_DIR}/data/man/dravelin-model.1" "${_man_dir}/dravelin-model.1"
    COMMAND gzip -9nf "${_man_dir}/dravelin-model.1"
    DEPENDS "${PROJECT_SOURCE_DIR}/data/man/dravelin-model.1"
    VERBATIM)
install(FILES "${_man_dir}/dravelin-model.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT server)
add_custom_target(man_pages ALL DEPENDS ${_man_pages} "${_man_dir}/dravelin-model.1.gz")

# The Debian packages. dpkg-shlibdeps works out the shared libraries'
# packages; Depends and Recommends name what is only found at run time.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dravelin)
set(CPACK_PACKAGE_VENDOR Dravelin)
set(CPACK_PACKAGE_CONTACT "Dravelin developers <dravelin@dravelin.localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description carries its own summary line.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL app server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_APP_PACKAGE_NAME dravelin)
set(CPACK_DEBIAN_APP_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_APP_DESCRIPTION "desktop dictation into any application
Dravelin lives in the tray: press a global hotkey in any application, speak,
and the words are transcribed, cleaned up and typed where the cursor is.
Also a personal dictionary, a history of dictations, selection rewrite and
an Ask assistant. dravelin-cli signs in, transcribes files and dictates from
the command line. Speech is recognised by a Dravelin server; the
dravelin-server package runs one on this computer.")
# The X11 platform plugin; the Secret Service client the keychain loads; the
# PocketSphinx model for on-device recognition without Whisper; xdg-open for
# the browser sign-in. Recommended: the local server, the accessibility bus
# (finding the focused text field), a keyring, the event sounds and a sound
# server.
set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS "qt6-qpa-plugins, libsecret-1-0, xdg-utils")
set(CPACK_DEBIAN_APP_PACKAGE_RECOMMENDS "dravelin-server (= ${PROJECT_VERSION}), at-spi2-core, gnome-keyring, \
sound-theme-freedesktop, pocketsphinx-en-us, pulseaudio | pipewire-pulse")
# The autostart entry is a configuration file: an administrator turns it on
# for everyone by editing it, and an upgrade keeps that.
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/deb/app/conffiles" "/etc/xdg/autostart/dravelin.desktop\n")
set(CPACK_DEBIAN_APP_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_BINARY_DIR}/deb/app/conffiles")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME dravelin-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_SERVER_DESCRIPTION "Dravelin's local backend: sign-in, transcription and cleanup
dravelin-server answers the Dravelin app on this computer: browser sign-in,
speech recognition with Whisper (tiny.en included) or PocketSphinx,
transcript cleanup and, with a language model, rewrite and ask. A systemd
user unit runs it: systemctl --user enable --now dravelin-server.
dravelin-model installs more Whisper models.")
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "pocketsphinx-en-us")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "postgresql")

include(CPack)
