# The Debian package vorn-server (`make package`): CPack's DEB generator over the install rules
# of OrxInstall.cmake, the configuration files, systemd units, manual pages and maintainer
# scripts of packaging/. Why CPack and not debhelper: README.md, "Install as a package".

set(ORX_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(ORX_PACKAGE_BUILD_DIR ${CMAKE_BINARY_DIR}/packaging)
set(ORX_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/vorn-server)
set(ORX_PACKAGE_MAINTAINER "Vorn Server maintainers <maintainers@vorn-server.example>")
file(MAKE_DIRECTORY ${ORX_PACKAGE_BUILD_DIR})

# --- Manual pages, made by help2man from each program's --help and its docs/man/NAME.h2m ----
# Adding a program's page: a line `orx_man_page(NAME SECTION "what it is")` below and
# docs/man/NAME.h2m. Not made in sanitizer and fuzz builds (nothing installs from them).
# Options: SERVICE (the program needs the toolkit's service before it reads its command line:
# help2man asks it with one running), COMMANDS (a COMMANDS section from each sub-command's
# --help), MARKDOWN "FILE|HEADING|SECTION" (the part of a document under a heading as a
# section: the exit status table orxcmd and orxadmin share, orxcmd's formats for scripts). The
# include file is put together by cmake/man-sections.py, so that every text has one home.
find_program(ORX_HELP2MAN help2man)
# The system's interpreter (python3 is among the packages scripts/install-deps.sh installs).
find_program(ORX_MAN_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(ORX_MAN_PYTHON3 NAMES python3)
function(orx_man_page program section description)
    cmake_parse_arguments(PAGE "SERVICE;COMMANDS" "" "MARKDOWN" ${ARGN})
    set(include ${CMAKE_SOURCE_DIR}/docs/man/${program}.h2m)
    if(NOT TARGET ${program} OR NOT EXISTS ${include} OR NOT ORX_HELP2MAN OR NOT ORX_MAN_PYTHON3)
        return()
    endif()
    if(PAGE_SERVICE AND NOT TARGET orxsdkd)
        return()
    endif()
    set(page ${ORX_PACKAGE_BUILD_DIR}/man/${program}.${section})
    set(pageInclude ${ORX_PACKAGE_BUILD_DIR}/man/${program}.h2m)
    # help2man runs a script named after the program (the page's name), which runs the program.
    set(runner ${ORX_PACKAGE_BUILD_DIR}/help/${program})
    set(sections)
    set(depends ${program} ${include} ${CMAKE_SOURCE_DIR}/cmake/help2man-run.sh
                ${CMAKE_SOURCE_DIR}/cmake/man-sections.py)
    if(PAGE_SERVICE)
        file(GENERATE OUTPUT ${runner} CONTENT
             "#!/bin/sh\nexec ${CMAKE_SOURCE_DIR}/cmake/help2man-service.sh $<TARGET_FILE:orxsdkd> $<TARGET_FILE:${program}> \"$@\"\n"
             FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
        list(APPEND depends orxsdkd ${CMAKE_SOURCE_DIR}/cmake/help2man-service.sh)
    else()
        file(GENERATE OUTPUT ${runner} CONTENT
             "#!/bin/sh\nexec ${CMAKE_SOURCE_DIR}/cmake/help2man-run.sh $<TARGET_FILE:${program}> \"$@\"\n"
             FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
    endif()
    if(PAGE_COMMANDS)
        list(APPEND sections --commands $<TARGET_FILE:${program}>)
    endif()
    foreach(part ${PAGE_MARKDOWN})
        list(APPEND sections --markdown "${CMAKE_SOURCE_DIR}/${part}")
        string(REGEX REPLACE "[|].*" "" partFile "${part}")
        list(APPEND depends ${CMAKE_SOURCE_DIR}/${partFile})
    endforeach()
    add_custom_command(
        OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${ORX_PACKAGE_BUILD_DIR}/man
        COMMAND ${ORX_MAN_PYTHON3} ${CMAKE_SOURCE_DIR}/cmake/man-sections.py ${pageInclude}
                ${include} ${sections}
        COMMAND ${ORX_HELP2MAN} --no-info --section=${section} --name=${description}
                --version-string=${PROJECT_VERSION} --include=${pageInclude} --output=${page}
                ${runner}
        COMMAND gzip -9nkf ${page}
        DEPENDS ${depends}
        COMMENT "Manual page ${program}(${section})"
        VERBATIM)
    add_custom_target(man_${program} ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

if(NOT ORX_SANITIZE AND NOT ORX_TSAN AND NOT ORX_FUZZ)
    if(NOT ORX_HELP2MAN)
        message(WARNING "help2man not found: no manual pages (scripts/install-deps.sh installs it)")
    endif()
    orx_man_page(orxgui 8 "Vorn Server listener daemon")
    orx_man_page(orxweb 8 "Vorn Server web console")
    orx_man_page(orxsdkd 8 "Vorn Server toolkit background service")
    orx_man_page(orxcache 8 "Vorn Server key cache loader" SERVICE)
    orx_man_page(orxadmin 1 "Vorn Server administration console" COMMANDS
                 MARKDOWN "docs/exit-status.md|Exit status|EXIT STATUS")
    orx_man_page(orxcmd 1 "Vorn Server command-line key manager"
                 MARKDOWN "docs/orxcmd.md|Output for scripts: `--with-colons`|OUTPUT FOR SCRIPTS"
                          "docs/orxcmd.md|Status lines: `--status-fd N`|STATUS LINES"
                          "docs/exit-status.md|Exit status|EXIT STATUS")
endif()

# The documents the manual pages point to.
install(FILES ${CMAKE_SOURCE_DIR}/docs/orxcmd.md ${CMAKE_SOURCE_DIR}/docs/orxadmin.md
              ${CMAKE_SOURCE_DIR}/docs/exit-status.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vorn-server)

# --- Configuration files in /etc (all of them dpkg conffiles) -------------------------------
# The site default and policy start with every line of the samples commented out, so that an
# installed package behaves as if they were absent until the administrator edits them.
foreach(name zaf-default zaf-policy)
    file(READ ${CMAKE_SOURCE_DIR}/conf/${name}.cfg.sample text)
    string(REGEX REPLACE "\n([^#\n])" "\n#\\1" text "${text}")
    file(WRITE ${ORX_PACKAGE_BUILD_DIR}/${name}.cfg
         "# Installed with every setting of the sample below commented out: take away the # of\n"
         "# a setting's line to use it.\n#\n${text}")
endforeach()
set(ORX_CONFFILES
    ${ORX_ETC_DIR}/zaf-template.cfg
    ${ORX_ETC_DIR}/zaf-default.cfg
    ${ORX_ETC_DIR}/zaf-policy.cfg
    ${ORX_ETC_DIR}/orxgui-site.cfg
    ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/vorn-server
    ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/vorn-server)
install(FILES ${CMAKE_SOURCE_DIR}/conf/zaf-template.cfg ${ORX_PACKAGE_BUILD_DIR}/zaf-default.cfg
              ${ORX_PACKAGE_BUILD_DIR}/zaf-policy.cfg ${ORX_PACKAGING_DIR}/orxgui-site.cfg
        DESTINATION ${ORX_ETC_DIR})
install(FILES ${ORX_PACKAGING_DIR}/vorn-server.default
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME vorn-server)
install(FILES ${ORX_PACKAGING_DIR}/vorn-server.logrotate
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d RENAME vorn-server)

# --- systemd units: every packaging/systemd/NAME.service whose program is built -------------
set(ORX_UNITS)
file(GLOB units ${ORX_PACKAGING_DIR}/systemd/*.service)
foreach(unit ${units})
    get_filename_component(program ${unit} NAME_WE)
    if(TARGET ${program})
        install(FILES ${unit} DESTINATION ${ORX_SYSTEMD_UNIT_DIR})
        list(APPEND ORX_UNITS ${program}.service)
    endif()
endforeach()

# --- Documentation: copyright and the Debian change log --------------------------------------
install(FILES ${ORX_PACKAGING_DIR}/copyright DESTINATION ${ORX_DOC_DIR})
install(FILES ${ORX_PACKAGING_DIR}/vorn-server.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME vorn-server)
# The change log names the package's version, whose Debian revision is taken from
# ORX_PACKAGE_RELEASE in the environment of `make package` (default 1), so it is written when
# CPack installs.
install(CODE "
    set(release \"\$ENV{ORX_PACKAGE_RELEASE}\")
    if(release STREQUAL \"\")
        set(release 1)
    endif()
    string(TIMESTAMP date \"%a, %d %b %Y %H:%M:%S +0000\" UTC)
    set(log \"\${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian\")
    file(WRITE \${log} \"vorn-server (${PROJECT_VERSION}-\${release}) unstable; urgency=medium\\n\\n  * Built from the project's sources.\\n\\n -- ${ORX_PACKAGE_MAINTAINER}  \${date}\\n\")
    execute_process(COMMAND gzip -9nf \${log} COMMAND_ERROR_IS_FATAL ANY)
    file(INSTALL \${log}.gz DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${ORX_DOC_DIR}\")
")

# --- Maintainer scripts, with the units' names filled in --------------------------------------
string(REPLACE ";" " " ORX_UNITS_LIST "${ORX_UNITS}")
foreach(script postinst prerm postrm)
    configure_file(${ORX_PACKAGING_DIR}/${script}.in ${ORX_PACKAGE_BUILD_DIR}/control/${script}
                   @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                   GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
string(REPLACE ";" "\n" conffiles "${ORX_CONFFILES}")
file(WRITE ${ORX_PACKAGE_BUILD_DIR}/control/conffiles "${conffiles}\n")

# --- CPack -----------------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorn-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ORX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vorn-server.example/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "key management and encryption server for Unix hosts")
set(CPACK_PACKAGE_DESCRIPTION
    "Per-user RFC 4880 key rings, a layered configuration system and the\n"
    "listener daemon orxgui, through which remote consoles log in with a Unix\n"
    "account over an encrypted channel and administer keys and configuration.\n"
    "Includes the administration console orxadmin, the command-line key manager\n"
    "orxcmd, the web console orxweb and the libraries they are built on.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# Run-time dependencies of the programs and libraries, from their ELF headers; besides them only
# what the maintainer scripts call.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
# The shlibs file of the shared libraries.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The ldconfig trigger (packaging/triggers) for the shared libraries.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${ORX_PACKAGING_DIR}/triggers ${ORX_PACKAGE_BUILD_DIR}/control/conffiles
    ${ORX_PACKAGE_BUILD_DIR}/control/postinst ${ORX_PACKAGE_BUILD_DIR}/control/prerm
    ${ORX_PACKAGE_BUILD_DIR}/control/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Folders owned by the package get mode 0755, whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# The Debian revision (vorn-server_0.1.0-1_amd64.deb) comes from the environment at packing time.
set(CPACK_PROJECT_CONFIG_FILE ${ORX_PACKAGE_BUILD_DIR}/CPackProjectConfig.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
     "if(NOT \"\$ENV{ORX_PACKAGE_RELEASE}\" STREQUAL \"\")\n"
     "    set(CPACK_DEBIAN_PACKAGE_RELEASE \"\$ENV{ORX_PACKAGE_RELEASE}\")\n"
     "else()\n"
     "    set(CPACK_DEBIAN_PACKAGE_RELEASE 1)\n"
     "endif()\n")
include(CPack)
